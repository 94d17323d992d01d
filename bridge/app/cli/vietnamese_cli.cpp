#include "bridge/app/cli/vietnamese_cli.h"

#include <re2/re2.h>

#include <memory>
#include <utility>
#include <vector>

namespace palisor {

std::string usageErrorText(const std::string& english) {
    // CLI11's phrasings, most specific first; \1 and the like keep what the user typed.
    static const std::vector<std::pair<std::unique_ptr<RE2>, std::string>> kPhrases = [] {
        std::vector<std::pair<std::unique_ptr<RE2>, std::string>> phrases;
        auto add = [&](const char* pattern, const char* text) {
            phrases.emplace_back(std::make_unique<RE2>(pattern), text);
        };
        add("^A subcommand is required$", "Cần một lệnh con.");
        add("^Requires at least ([0-9]+) subcommands$", "Cần ít nhất \\1 lệnh con.");
        add("^Requires at most ([0-9]+) subcommands?$", "Chỉ được dùng tối đa \\1 lệnh con.");
        add("^The following arguments? (?:was|were) not expected: (.*)$", "Tham số không dùng được ở đây: \\1.");
        add("^(.*) is required$", "Thiếu \\1.");
        add("^(.*) requires (.*)$", "\\1 cần dùng cùng \\2.");
        add("^(.*) excludes (.*)$", "\\1 không dùng cùng \\2.");
        add("^(.*): (.*) not in (\\{.*\\})$", "\\1: \"\\2\" không phải một trong \\3.");
        add("^(.*): ([0-9]+) required (.*) missing$", "\\1: thiếu giá trị (\\2 giá trị \\3).");
        add("^Expected exactly ([0-9]+) arguments? to (.*), got ([0-9]+)$", "\\2 cần đúng \\1 giá trị, nhận \\3.");
        add("^Expected at least ([0-9]+) arguments? to (.*), got ([0-9]+)$", "\\2 cần ít nhất \\1 giá trị, nhận \\3.");
        add("^(.*): At Most ([0-9]+) required but received ([0-9]+)$", "\\1 nhận tối đa \\2 giá trị, nhận \\3.");
        add("^(.*): At least ([0-9]+) required but received ([0-9]+)$", "\\1 cần ít nhất \\2 giá trị, nhận \\3.");
        add("^(.*) was given a disallowed flag override$", "\\1 không nhận giá trị.");
        add("^Could not convert: (.*)$", "Giá trị không đọc được: \\1.");
        return phrases;
    }();
    for (const auto& [pattern, text] : kPhrases) {
        std::string said = english;
        if (RE2::FullMatch(english, *pattern) && RE2::Replace(&said, *pattern, text)) return said;
    }
    return "Lệnh không hợp lệ: " + english;
}

void speakVietnamese(CLI::App& app) {
    // Options take their group when added, the help flag included.
    app.option_defaults()->group("Tùy chọn");
    app.set_help_flag("-h,--help", "In trợ giúp này rồi thoát");
    auto formatter = app.get_formatter();
    for (const auto& [english, vietnamese] : std::vector<std::pair<const char*, const char*>>{
             {"Usage", "Cách dùng"},
             {"OPTIONS", "TÙY CHỌN"},
             {"SUBCOMMAND", "LỆNH"},
             {"SUBCOMMANDS", "LỆNH"},
             {"Positionals", "Tham số"},
             {"REQUIRED", "BẮT BUỘC"},
             {"Needs", "Cần"},
             {"Excludes", "Không dùng cùng"},
             {"Env", "Biến môi trường"},
             {"TEXT", "CHUỖI"},
         })
        formatter->label(english, vietnamese);
    app.failure_message([](const CLI::App* failed, const CLI::Error& error) {
        std::string text = "palisor-bridge: " + usageErrorText(error.what()) + "\n";
        if (const CLI::Option* help = failed->get_help_ptr())
            text += "Chạy với " + help->get_name() + " để xem cách dùng.\n";
        return text;
    });
}

void nameSubcommandGroups(CLI::App& app) {
    for (CLI::App* subcommand : app.get_subcommands({})) {
        subcommand->group("Lệnh");
        // A subcommand makes its help flag before it takes the option defaults.
        if (CLI::Option* help = subcommand->get_help_ptr()) help->group("Tùy chọn");
        nameSubcommandGroups(*subcommand);
    }
}

}  // namespace palisor
