// Global initialisation of the mail engine's C libraries, behind one once-flag.
#include "mail/engine/library_init.h"

#include <ares.h>
#include <curl/curl.h>
#include <gmime/gmime.h>

#include <mutex>

namespace mail::detail {

void InitMailLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        ares_library_init(ARES_LIB_INIT_ALL);
        g_mime_init();
    });
}

} // namespace mail::detail
