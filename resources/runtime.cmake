# Links the machine's Node.js and npm into a resource folder as the validation
# executor's runtime and writes the manifest that names them:
#
#   <dir>/runtime/node                     -> real path of node
#   <dir>/runtime/bin/npm                  -> real path of npm
#   <dir>/validation-node-runtimes.json
#
#   cmake -DPALISOR_RESOURCE_DIR=<dir> [-DPALISOR_NODE_EXECUTABLE=<node>]
#         [-DPALISOR_NPM_EXECUTABLE=<npm>] [-DPALISOR_PACKAGE_RESOURCE_DIR=<dir>]
#         -P runtime.cmake
#
# Run at build time and again at install time, so that each tree names the
# runtime present when it was made. Without node or npm it warns and removes
# the three entries: the bridge then refuses to start executors with a
# missing-runtime error instead of launching one on a runtime that is not there.
#
# PALISOR_PACKAGE_RESOURCE_DIR is for packages: where the resource folder will
# be once the package is installed (/usr/share/palisor-bridge). The links and
# the manifest then name the given commands themselves (/usr/bin/node,
# /usr/bin/npm, which the package's dependencies provide on every machine),
# not where they lead on the packaging machine, which differs between
# distributions of Node.js; the links lead there relative to the installed
# folder, as links within /usr should. A package must not go out without its
# runtime, so there a missing one is an error.
cmake_minimum_required(VERSION 3.25)

if(NOT PALISOR_RESOURCE_DIR)
  message(FATAL_ERROR "runtime.cmake: PALISOR_RESOURCE_DIR is required")
endif()
set(dir "${PALISOR_RESOURCE_DIR}")
set(manifest "${dir}/validation-node-runtimes.json")

function(palisor_forget_runtime why)
  if(PALISOR_PACKAGE_RESOURCE_DIR)
    message(FATAL_ERROR "runtime.cmake: ${why}")
  endif()
  message(WARNING "Validation executors will not start from ${dir}: ${why}. "
                  "Install Node.js and npm (scripts/deps does) and build or install again.")
  file(REMOVE "${dir}/runtime/node" "${dir}/runtime/bin/npm" "${manifest}")
endfunction()

function(palisor_link original link)
  if(IS_SYMLINK "${link}")
    file(READ_SYMLINK "${link}" current)
    if(current STREQUAL original)
      return()
    endif()
  endif()
  file(REMOVE "${link}")
  file(CREATE_LINK "${original}" "${link}" SYMBOLIC)
endfunction()

function(palisor_json_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# A path given by the caller wins; otherwise the search path decides, as it
# does for the developer's own shell.
if(PALISOR_NODE_EXECUTABLE)
  set(node "${PALISOR_NODE_EXECUTABLE}")
else()
  find_program(node NAMES node nodejs NO_CACHE)
endif()
if(PALISOR_NPM_EXECUTABLE)
  set(npm "${PALISOR_NPM_EXECUTABLE}")
else()
  find_program(npm NAMES npm NO_CACHE)
endif()
if(NOT node OR NOT EXISTS "${node}")
  palisor_forget_runtime("no Node.js (node) was found")
  return()
endif()
if(NOT npm OR NOT EXISTS "${npm}")
  palisor_forget_runtime("no npm was found")
  return()
endif()
if(PALISOR_PACKAGE_RESOURCE_DIR)
  set(node_path "${node}")
  set(npm_path "${npm}")
  file(RELATIVE_PATH node_link "${PALISOR_PACKAGE_RESOURCE_DIR}/runtime" "${node_path}")
  file(RELATIVE_PATH npm_link "${PALISOR_PACKAGE_RESOURCE_DIR}/runtime/bin" "${npm_path}")
else()
  file(REAL_PATH "${node}" node_path)
  file(REAL_PATH "${npm}" npm_path)
  set(node_link "${node_path}")
  set(npm_link "${npm_path}")
endif()

execute_process(COMMAND "${node_path}" --version
  RESULT_VARIABLE node_status OUTPUT_VARIABLE node_version ERROR_QUIET
  OUTPUT_STRIP_TRAILING_WHITESPACE TIMEOUT 60)
if(NOT node_status EQUAL 0 OR node_version STREQUAL "")
  palisor_forget_runtime("${node_path} --version failed")
  return()
endif()

# npm is a script run by whichever node comes first on the search path: the
# one found above, as for the executor, whose search path starts with the
# runtime folder. The update check stays off so that a build never goes online.
get_filename_component(node_dir "${node_path}" DIRECTORY)
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "PATH=${node_dir}:$ENV{PATH}"
          NO_UPDATE_NOTIFIER=1 npm_config_update_notifier=false
          "${npm_path}" --version
  RESULT_VARIABLE npm_status OUTPUT_VARIABLE npm_version ERROR_QUIET
  OUTPUT_STRIP_TRAILING_WHITESPACE TIMEOUT 60)
if(NOT npm_status EQUAL 0 OR npm_version STREQUAL "")
  palisor_forget_runtime("${npm_path} --version failed")
  return()
endif()

file(MAKE_DIRECTORY "${dir}/runtime/bin")
palisor_link("${node_link}" "${dir}/runtime/node")
palisor_link("${npm_link}" "${dir}/runtime/bin/npm")

palisor_json_string(node_path_json "${node_path}")
palisor_json_string(node_version_json "${node_version}")
palisor_json_string(npm_path_json "${npm_path}")
palisor_json_string(npm_version_json "${npm_version}")
set(content "{
  \"schemaVersion\": 1,
  \"runtimes\": [
    {
      \"id\": \"system\",
      \"node\": {\"path\": ${node_path_json}, \"version\": ${node_version_json}},
      \"npm\": {\"path\": ${npm_path_json}, \"version\": ${npm_version_json}}
    }
  ]
}
")
# Rewritten only when something changed, so that an unchanged runtime leaves
# the file, and whatever depends on it, untouched.
file(WRITE "${manifest}.tmp" "${content}")
file(COPY_FILE "${manifest}.tmp" "${manifest}" ONLY_IF_DIFFERENT)
file(REMOVE "${manifest}.tmp")
