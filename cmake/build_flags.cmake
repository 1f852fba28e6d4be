# Compiler warnings, release hardening and the sanitizer switch, applied to every target of
# the project through the postique_options interface target.

set(POSTIQUE_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined), empty for none")

# Warnings: the ci preset turns them into errors, so none may be left. Third-party headers
# (Qt, GLib/GMime, curl, OpenSSL, GoogleTest) come in through imported targets, whose include
# folders are system folders: their own warnings stay out of ours.
target_compile_options(postique_options INTERFACE
    -Wall -Wextra
    -Wshadow -Wformat=2 -Werror=format-security -Wnon-virtual-dtor -Wold-style-cast
    -Woverloaded-virtual)

# Hardening of optimised builds (release and ci): checked buffer functions, stack protector,
# checked standard containers, position-independent executables, read-only relocations.
include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(postique_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
target_compile_options(postique_options INTERFACE -fstack-protector-strong)
if(NOT POSTIQUE_SANITIZE) # the sanitizers check buffers themselves, better
    target_compile_options(postique_options INTERFACE
        $<${postique_optimised}:-U_FORTIFY_SOURCE> $<${postique_optimised}:-D_FORTIFY_SOURCE=3>)
endif()
target_compile_definitions(postique_options INTERFACE
    $<${postique_optimised}:_GLIBCXX_ASSERTIONS>)
target_link_options(postique_options INTERFACE LINKER:-z,relro,-z,now)

# Sanitizers, for instance -DPOSTIQUE_SANITIZE=address,undefined (the sanitize preset): every
# object and every program is built and linked with them, and a finding ends the program.
if(POSTIQUE_SANITIZE)
    target_compile_options(postique_options INTERFACE
        -fsanitize=${POSTIQUE_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(postique_options INTERFACE -fsanitize=${POSTIQUE_SANITIZE})
endif()

# Fuzz targets (fuzz/), with clang only: every object carries libFuzzer's coverage
# instrumentation so that the targets see into the libraries they call.
option(POSTIQUE_BUILD_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(POSTIQUE_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "POSTIQUE_BUILD_FUZZ needs clang (libFuzzer)")
    endif()
    target_compile_options(postique_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# Compiler cache (the dev, ci and sanitize presets): every compile goes through ccache when it
# is installed. The settings let precompiled headers and moved build folders hit the cache.
option(POSTIQUE_CCACHE "Compile through ccache when it is installed" OFF)
if(POSTIQUE_CCACHE)
    find_program(POSTIQUE_CCACHE_PROGRAM ccache)
    if(POSTIQUE_CCACHE_PROGRAM)
        set(postique_launcher ${CMAKE_COMMAND} -E env
            CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
            CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=true ${POSTIQUE_CCACHE_PROGRAM})
        set(CMAKE_C_COMPILER_LAUNCHER ${postique_launcher})
        set(CMAKE_CXX_COMPILER_LAUNCHER ${postique_launcher})
    endif()
endif()

# Linker: lld (the clang presets) links the many sanitized test programs several times faster.
set(POSTIQUE_LINKER "" CACHE STRING "Linker to use instead of the default one (lld)")
if(POSTIQUE_LINKER)
    target_link_options(postique_options INTERFACE -fuse-ld=${POSTIQUE_LINKER})
endif()

# Precompiled headers: Qt's headers make up most of what every unit reads (100-200 thousand
# lines for a few hundred of its own), so each target parses them once. Targets with windows
# add the widgets' headers through postique_precompile_widgets().
target_precompile_headers(postique_options INTERFACE
    <QByteArray> <QDateTime> <QDir> <QFile> <QFileInfo> <QHash> <QList> <QObject> <QString>
    <QStringList> <QVariant> <functional> <memory> <optional> <string> <vector>)
function(postique_precompile_widgets target)
    target_precompile_headers(${target} PRIVATE <QApplication> <QComboBox> <QLabel> <QLineEdit>
        <QMessageBox> <QPushButton> <QWidget>)
endfunction()
