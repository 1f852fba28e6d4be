// Kerberos tickets from the station's keytab through GSS-API (MIT Kerberos): the keytab read
// first so that a wrong file or principal is told in plain words, then the credentials
// acquired into a cache of the process and made the calling thread's default.
#include "mail/engine/kerberos.h"

#include "system/untrusted_text.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QStringList>

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <memory>

namespace mail::detail {

namespace {

struct Krb5ContextFree {
    void operator()(krb5_context c) const { krb5_free_context(c); }
};
using Krb5Context = std::unique_ptr<std::remove_pointer_t<krb5_context>, Krb5ContextFree>;

// A principal owned with the context that made it.
struct Krb5PrincipalFree {
    krb5_context context = nullptr;
    void operator()(krb5_principal p) const { krb5_free_principal(context, p); }
};
using Krb5Principal = std::unique_ptr<std::remove_pointer_t<krb5_principal>, Krb5PrincipalFree>;

struct GssNameFree {
    void operator()(gss_name_t name) const {
        OM_uint32 minor = 0;
        gss_release_name(&minor, &name);
    }
};
using GssName = std::unique_ptr<std::remove_pointer_t<gss_name_t>, GssNameFree>;

QString krb5Text(krb5_context context, krb5_error_code code) {
    const char* text = krb5_get_error_message(context, code);
    const QString out = Untrusted::CleanQuoted(QString::fromUtf8(text), 200);
    krb5_free_error_message(context, text);
    return out;
}

// The texts of a GSS-API failure, the mechanism's first (it says what went wrong).
QString gssText(OM_uint32 major, OM_uint32 minor) {
    QStringList parts;
    const auto collect = [&](OM_uint32 code, int type) {
        OM_uint32 more = 0;
        OM_uint32 status = 0;
        do {
            gss_buffer_desc buffer = GSS_C_EMPTY_BUFFER;
            gss_display_status(&status, code, type, GSS_C_NO_OID, &more, &buffer);
            parts << QString::fromUtf8(static_cast<const char*>(buffer.value),
                                       static_cast<qsizetype>(buffer.length));
            gss_release_buffer(&status, &buffer);
        } while (more != 0 && parts.size() < 8);
    };
    if (minor != 0)
        collect(minor, GSS_C_MECH_CODE);
    collect(major, GSS_C_GSS_CODE);
    return Untrusted::CleanQuoted(parts.join(QStringLiteral(" ; ")), 300);
}

// The principals the keytab holds keys for, in order and without repeats, or why the file
// cannot be read ("" when it can).
QString keytabPrincipals(krb5_context context, const QString& keytab, QStringList& principals) {
    krb5_keytab handle = nullptr;
    const QByteArray name = "FILE:" + keytab.toUtf8();
    if (const krb5_error_code code = krb5_kt_resolve(context, name.constData(), &handle))
        return krb5Text(context, code);
    krb5_kt_cursor cursor = nullptr;
    krb5_error_code code = krb5_kt_start_seq_get(context, handle, &cursor);
    if (code == 0) {
        krb5_keytab_entry entry{};
        while (krb5_kt_next_entry(context, handle, &entry, &cursor) == 0) {
            char* text = nullptr;
            if (krb5_unparse_name(context, entry.principal, &text) == 0) {
                const QString one = QString::fromUtf8(text);
                if (!principals.contains(one))
                    principals << one;
                krb5_free_unparsed_name(context, text);
            }
            krb5_free_keytab_entry_contents(context, &entry);
        }
        krb5_kt_end_seq_get(context, handle, &cursor);
    }
    krb5_kt_close(context, handle);
    return code == 0 ? QString() : krb5Text(context, code);
}

// The principal to log in as, with its realm: `wanted` when the keytab holds it, its first
// otherwise; "" with `problem` set when there is none.
QString chosenPrincipal(const QString& keytab, const QString& wanted, QString& problem) {
    krb5_context raw = nullptr;
    if (const krb5_error_code code = krb5_init_context(&raw)) {
        problem = QStringLiteral("La configuration Kerberos (krb5.conf) ne peut pas être lue "
                                 "(erreur %1).")
                      .arg(code);
        return {};
    }
    const Krb5Context context(raw);
    QStringList principals;
    const QString unreadable = keytabPrincipals(raw, keytab, principals);
    if (!unreadable.isEmpty()) {
        problem = QStringLiteral("Le fichier de clés Kerberos « %1 » ne peut pas être lu : %2.")
                      .arg(keytab, unreadable);
        return {};
    }
    if (principals.isEmpty()) {
        problem = QStringLiteral("Le fichier de clés Kerberos « %1 » ne contient aucune clé.")
                      .arg(keytab);
        return {};
    }
    if (wanted.trimmed().isEmpty())
        return principals.first();
    krb5_principal parsed = nullptr;
    const QByteArray wantedText = wanted.trimmed().toUtf8();
    if (const krb5_error_code code = krb5_parse_name(raw, wantedText.constData(), &parsed)) {
        problem = QStringLiteral("Le principal Kerberos « %1 » n'est pas valable : %2.")
                      .arg(Untrusted::CleanQuoted(wanted, 200), krb5Text(raw, code));
        return {};
    }
    const Krb5Principal owned(parsed, Krb5PrincipalFree{raw});
    char* full = nullptr;
    QString fullName = wanted.trimmed();
    if (krb5_unparse_name(raw, parsed, &full) == 0) {
        fullName = QString::fromUtf8(full);
        krb5_free_unparsed_name(raw, full);
    }
    if (!principals.contains(fullName)) {
        problem = QStringLiteral("Le fichier de clés Kerberos « %1 » ne contient pas de clé pour "
                                 "%2 (il en contient pour : %3).")
                      .arg(keytab, Untrusted::CleanQuoted(fullName, 200),
                           Untrusted::CleanQuoted(principals.join(QStringLiteral(", ")), 300));
        return {};
    }
    return fullName;
}

} // namespace

KeytabLogin::KeytabLogin(const QString& keytab, const QString& principal) {
    const QFileInfo file(keytab);
    if (keytab.isEmpty() || !file.isFile() || !file.isReadable()) {
        problem_ = QStringLiteral("Le fichier de clés Kerberos « %1 » est introuvable ou "
                                  "illisible pour le programme.")
                       .arg(keytab);
        return;
    }
    principal_ = chosenPrincipal(keytab, principal, problem_);
    if (principal_.isEmpty())
        return;

    OM_uint32 minor = 0;
    const QByteArray principalText = principal_.toUtf8();
    gss_buffer_desc nameBuffer{static_cast<size_t>(principalText.size()),
                               const_cast<char*>(principalText.constData())};
    gss_name_t rawName = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &nameBuffer, GSS_KRB5_NT_PRINCIPAL_NAME, &rawName);
    const GssName name(rawName);
    if (GSS_ERROR(major)) {
        problem_ = QStringLiteral("Le principal Kerberos « %1 » n'est pas valable : %2.")
                       .arg(principal_, gssText(major, minor));
        return;
    }
    // One cache per keytab and principal: a second station identity never sees these tickets.
    const QByteArray cache =
        "MEMORY:postique-" +
        QCryptographicHash::hash((keytab + u'\n' + principal_).toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(24);
    const QByteArray keytabText = keytab.toUtf8();
    gss_key_value_element_desc elements[] = {{"client_keytab", keytabText.constData()},
                                             {"ccache", cache.constData()}};
    const gss_key_value_set_desc store{2, elements};
    gss_OID_desc krb5Mech = *gss_mech_krb5;
    gss_OID_set_desc mechanisms{1, &krb5Mech};
    gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;
    OM_uint32 lifetime = 0;
    // Asking for the lifetime makes GSS-API get the tickets now rather than at the first use,
    // so that a refusal is told here with its reason.
    major = gss_acquire_cred_from(&minor, name.get(), GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE,
                                  &store, &credential, nullptr, &lifetime);
    if (GSS_ERROR(major)) {
        problem_ = QStringLiteral("Aucun ticket Kerberos obtenu pour %1 avec le fichier de clés "
                                  "« %2 » : %3. Vérifiez que ses clés sont à jour (numéro de "
                                  "version kvno) et la configuration Kerberos (krb5.conf).")
                       .arg(principal_, keytab, gssText(major, minor));
        return;
    }
    credential_ = credential;
    const char* previous = nullptr;
    major = gss_krb5_ccache_name(&minor, cache.constData(), &previous);
    if (GSS_ERROR(major)) {
        problem_ = QStringLiteral("Les tickets Kerberos de %1 ne peuvent pas être utilisés : %2.")
                       .arg(principal_, gssText(major, minor));
        return;
    }
    switched_ = true;
    previousSet_ = previous != nullptr;
    previous_ = previous ? QByteArray(previous) : QByteArray();
}

KeytabLogin::~KeytabLogin() {
    OM_uint32 minor = 0;
    if (switched_)
        gss_krb5_ccache_name(&minor, previousSet_ ? previous_.constData() : nullptr, nullptr);
    if (credential_) {
        auto credential = static_cast<gss_cred_id_t>(credential_);
        gss_release_cred(&minor, &credential);
    }
}

QString AuthenticationName(const QByteArray& authorization) {
    const QByteArray value = authorization.trimmed();
    const qsizetype space = value.indexOf(' ');
    const QByteArray scheme = (space < 0 ? value : value.left(space)).toLower();
    if (scheme.isEmpty())
        return {};
    if (scheme == "negotiate") {
        const QByteArray token = QByteArray::fromBase64(value.mid(space + 1));
        // The mechanism's object identifier inside the SPNEGO token: Kerberos 5 (also under
        // the number Windows gives it), or the NTLM message itself.
        static const QByteArray kerberos("\x06\x09\x2a\x86\x48\x86\xf7\x12\x01\x02\x02", 11);
        static const QByteArray kerberosWindows("\x06\x09\x2a\x86\x48\x82\xf7\x12\x01\x02\x02", 11);
        if (token.contains(kerberos) || token.contains(kerberosWindows))
            return QStringLiteral("Negotiate (Kerberos)");
        if (token.contains(QByteArrayLiteral("NTLMSSP")))
            return QStringLiteral("Negotiate (NTLM)");
        return QStringLiteral("Negotiate");
    }
    if (scheme == "ntlm")
        return QStringLiteral("NTLM");
    if (scheme == "basic")
        return QStringLiteral("Basic");
    if (scheme == "bearer")
        return QStringLiteral("OAuth 2.0");
    return Untrusted::CleanQuoted(QString::fromLatin1(scheme), 40);
}

} // namespace mail::detail
