// Extra trusted certificate authorities for the libcurl transports: the PEM files of the
// program's "CA" folder, added to each TLS connection beside the system's own authorities.
#pragma once

#include <curl/curl.h>

namespace mail::detail {

// TLS set-up callback for libcurl (CURLOPT_SSL_CTX_FUNCTION): adds the PEM certificates of
// the folders given as CURLOPT_SSL_CTX_DATA (a const QString*: native paths separated by line
// feeds; may be null or empty) to the connection's trust store. Unreadable files, files over 4 MiB
// and blocks that are not certificates are skipped. Always returns CURLE_OK.
CURLcode TrustCaFolder(CURL*, void* sslContext, void* user);

} // namespace mail::detail
