# Header-only third-party libraries.
#
# On a cross build the host's /usr/include must not be on the include path
# (it would pull in glibc headers), so the three library folders are exposed
# through a generated folder of symbolic links. On a native build (MSVC or
# MinGW on Windows) the libraries are found where the system keeps them.

add_library(qln_thirdparty INTERFACE)
target_compile_definitions(qln_thirdparty INTERFACE
    SPDLOG_HEADER_ONLY
    SPDLOG_FMT_EXTERNAL
    FMT_HEADER_ONLY
    SPDLOG_WCHAR_TO_UTF8_SUPPORT
    # Log files are opened through wide-character file calls, so that a
    # directory outside the ANSI code page works. Must be the same for every
    # target: it changes spdlog's file name type.
    SPDLOG_WCHAR_FILENAMES
    "SPDLOG_EOL=\"\\r\\n\""
)

if(CMAKE_CROSSCOMPILING)
    set(QLN_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where the host keeps the header-only libraries")
    set(_links ${CMAKE_BINARY_DIR}/thirdparty-include)
    file(MAKE_DIRECTORY ${_links})
    foreach(_lib spdlog fmt nlohmann)
        if(NOT EXISTS ${QLN_HOST_INCLUDE_DIR}/${_lib})
            message(FATAL_ERROR "${QLN_HOST_INCLUDE_DIR}/${_lib} is missing: run scripts/install-deps.sh")
        endif()
        file(CREATE_LINK ${QLN_HOST_INCLUDE_DIR}/${_lib} ${_links}/${_lib} SYMBOLIC)
    endforeach()
    target_include_directories(qln_thirdparty SYSTEM INTERFACE ${_links})
else()
    find_package(fmt CONFIG QUIET)
    find_package(spdlog CONFIG QUIET)
    find_package(nlohmann_json CONFIG QUIET)
    foreach(_t fmt::fmt-header-only spdlog::spdlog_header_only nlohmann_json::nlohmann_json)
        if(TARGET ${_t})
            target_link_libraries(qln_thirdparty INTERFACE ${_t})
        endif()
    endforeach()
endif()
