#include "bridge/app/headless_view.h"

namespace palisor {

void HeadlessView::setStatus(const std::string& text, StatusColor) {
    if (text == lastStatus_) return;
    lastStatus_ = text;
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

}  // namespace palisor
