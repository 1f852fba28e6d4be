// Owners of the C libraries' objects the mail engine uses (libcurl, OpenSSL, GMime, c-ares,
// ICU): one unique_ptr per kind, one deleter per C free function, and nothing freed by hand.
#pragma once

#include <ares.h>
#include <curl/curl.h>
#include <gmime/gmime.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unicode/ucnv.h>

#include <memory>
#include <type_traits>

namespace mail {

// The deleter that calls `Free` on a non-null pointer.
template <auto Free> struct FreeWith {
    template <class T> void operator()(T* p) const {
        if (p)
            Free(p);
    }
};

// A pointer of type T* owned through `Free`.
template <class T, auto Free> using CHandle = std::unique_ptr<T, FreeWith<Free>>;

// libcurl
using CurlEasy = CHandle<CURL, &curl_easy_cleanup>;
using CurlList = CHandle<curl_slist, &curl_slist_free_all>;

// OpenSSL
using BioPtr = CHandle<BIO, &BIO_free_all>;
using X509Ptr = CHandle<X509, &X509_free>;
using PKeyPtr = CHandle<EVP_PKEY, &EVP_PKEY_free>;
using CmsPtr = CHandle<CMS_ContentInfo, &CMS_ContentInfo_free>;
using Pkcs12Ptr = CHandle<PKCS12, &PKCS12_free>;
using GeneralNamesPtr = CHandle<GENERAL_NAMES, &GENERAL_NAMES_free>;
// A stack whose certificates are owned elsewhere (only the stack is freed).
inline void X509StackFree(STACK_OF(X509) * stack) {
    sk_X509_free(stack);
}
using X509StackRef = CHandle<STACK_OF(X509), &X509StackFree>;
// Bytes OpenSSL allocated for the caller (ASN1_STRING_to_UTF8, PEM_read_bio ...).
inline void OpenSslFree(void* p) {
    OPENSSL_free(p);
}
template <class T> using OpenSslBytes = CHandle<T, &OpenSslFree>;

// GMime / GLib
template <class T> using GPtr = CHandle<T, &g_object_unref>;
using GText = CHandle<char, &g_free>;
using GMimeOptions = CHandle<GMimeFormatOptions, &g_mime_format_options_free>;

// c-ares
using AresChannel = CHandle<std::remove_pointer_t<ares_channel>, &ares_destroy>;
using AresMxReplies = CHandle<ares_mx_reply, &ares_free_data>;
using AresTxtReplies = CHandle<ares_txt_ext, &ares_free_data>;
using AresAddresses = CHandle<ares_addrinfo, &ares_freeaddrinfo>;

// ICU
using IcuConverter = CHandle<UConverter, &ucnv_close>;

} // namespace mail
