// The station's settings file: its place, stored numbers, and the sections read on change.
#include "station/settings_store.h"

#include "automation/jobs/ledger.h"
#include "mail/engine/native_path.h"
#include "station/dkim_settings.h"
#include "station/notices.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/winpath.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <sys/stat.h>

namespace Lib_Public {

QString SettingsFilePath() {
    return DossierConfigGlobal[0] + QStringLiteral("VL3_Postique.ini");
}

std::optional<qint16> StoredNumber(const QString& text) {
    QString compact;
    for (QChar c : text)
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n') &&
            c != QLatin1Char('\r'))
            compact.append(c);
    qsizetype i = 0;
    const auto digitAt = [&](qsizetype at) {
        return at < compact.size() && compact[at] >= QLatin1Char('0') &&
               compact[at] <= QLatin1Char('9');
    };
    QString number;
    if (i < compact.size() && (compact[i] == QLatin1Char('-') || compact[i] == QLatin1Char('+')))
        number.append(compact[i++]);
    bool anyDigit = false;
    while (digitAt(i)) {
        number.append(compact[i++]);
        anyDigit = true;
    }
    if (i < compact.size() && compact[i] == QLatin1Char('.')) {
        number.append(compact[i++]);
        while (digitAt(i)) {
            number.append(compact[i++]);
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return qint16(0);
    if (i < compact.size() && QStringLiteral("eEdD").contains(compact[i])) {
        qsizetype j = i + 1;
        QString exponent = QStringLiteral("e");
        if (j < compact.size() &&
            (compact[j] == QLatin1Char('-') || compact[j] == QLatin1Char('+')))
            exponent.append(compact[j++]);
        if (digitAt(j)) {
            while (digitAt(j))
                exponent.append(compact[j++]);
            number.append(exponent);
        }
    }
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (!ok) // out of the double range: an overflow, or an underflow that reads as 0
        return value == 0.0 ? std::optional<qint16>(0) : std::nullopt;
    const double rounded = std::nearbyint(value); // half to even, like the old integer conversion
    if (!std::isfinite(rounded) || rounded < -32768.0 || rounded > 32767.0)
        return std::nullopt;
    return static_cast<qint16>(rounded);
}

} // namespace Lib_Public

namespace station {

RecordSettings ReadRecordSettings(const QString& file) {
    RecordSettings out;
    const auto number = [&](const QString& section, const QString& key, qint64 fallback) {
        bool ok = false;
        const qint64 value =
            Lib_Systeme::LectureIni(file, section, key, QString()).trimmed().toLongLong(&ok);
        return ok && value >= 0 ? value : fallback;
    };
    out.keepDays = int(std::clamp<qint64>(
        number(QStringLiteral("Historique"), QStringLiteral("Jours"), out.keepDays), 1, 3650));
    out.noticeAddress =
        Lib_Systeme::LectureIni(file, QStringLiteral("Avis"), QStringLiteral("Adresse"), QString())
            .trimmed();
    out.noticeWaitMs =
        std::min<qint64>(number(QStringLiteral("Avis"), QStringLiteral("AttenteAvant"), 4),
                         qint64{24} * 365) *
        3'600'000LL;
    return out;
}

void ApplyRecordSettings(const SendingSettings& saved) {
    const RecordSettings settings = ReadRecordSettings(Lib_Public::SettingsFilePath());
    automation::Ledger::setKeepDays(settings.keepDays);
    Notices::Install(saved, settings.noticeAddress, settings.noticeWaitMs);
}

} // namespace station

namespace DkimSettings {

namespace {

Section readNow(const QString& file) {
    const auto read = [&](const char* key, const QString& fallback = QString()) {
        return Lib_Systeme::LectureIni(file, QStringLiteral("DKIM"), QString::fromLatin1(key),
                                       fallback)
            .trimmed();
    };
    Section s;
    s.domain = read("Domaine");
    s.selector = read("Selecteur");
    s.selectorEd25519 = read("SelecteurEd25519");
    s.required =
        Lib_Public::StoredNumber(read("Obligatoire", QStringLiteral("1"))).value_or(1) != 0;
    // A key is a file name in the settings folder: a name with a folder part is refused, so
    // the setting cannot point the program at a key stored elsewhere.
    const auto keyPath = [&](const char* key) {
        const QString name = read(key);
        if (name.isEmpty())
            return QString();
        if (name.contains(u'/') || name.contains(u'\\') || name == QLatin1String("..") ||
            name == QLatin1String(".")) {
            s.refusal =
                QStringLiteral("Le fichier de clé DKIM « %1 » (%2) doit être un simple "
                               "nom de fichier du dossier des réglages %3.")
                    .arg(name, QString::fromLatin1(key), Lib_Public::DossierConfigGlobal[0]);
            return QString();
        }
        return mail::detail::NativePath(Lib_Public::DossierConfigGlobal[0] + name);
    };
    s.key = keyPath("Cle");
    s.keyEd25519 = keyPath("CleEd25519");
    if (s.key.isEmpty() && s.refusal.isEmpty() && !read("Cle").isEmpty())
        s.refusal =
            QStringLiteral("Le dossier des réglages %1 est introuvable : la clé DKIM « %2 » "
                           "ne peut pas être lue.")
                .arg(Lib_Public::DossierConfigGlobal[0], read("Cle"));
    return s;
}

} // namespace

} // namespace DkimSettings

namespace {

// The settings file's place, size, identity and time: what tells that it changed; "" when it
// cannot be looked at (then it is read each time).
QString settingsFileStamp() {
    const QString native = WinPath::nativePath(Lib_Public::SettingsFilePath());
    struct stat st {};
    if (native.isEmpty() || ::stat(QFile::encodeName(native).constData(), &st) != 0)
        return {};
    return QStringLiteral("%1|%2|%3|%4.%5")
        .arg(native)
        .arg(st.st_size)
        .arg(st.st_ino)
        .arg(st.st_mtim.tv_sec)
        .arg(st.st_mtim.tv_nsec);
}

// A value read from the settings file, kept until the file changes (its place, size, time or
// identity): every mail asks, the file is read once per change, never once per row of a job.
template <class T> class ReadOnChange {
public:
    template <class Read> T get(Read read) {
        const QString now = settingsFileStamp();
        std::lock_guard lock(mutex_);
        if (now.isEmpty() || now != stamp_) {
            value_ = read();
            stamp_ = now;
        }
        return value_;
    }

private:
    std::mutex mutex_;
    QString stamp_;
    T value_;
};

} // namespace

namespace DkimSettings {

Section Read() {
    static ReadOnChange<Section> section;
    return section.get([] { return readNow(Lib_Public::SettingsFilePath()); });
}

} // namespace DkimSettings

namespace HveSettings {

QStringList Domains() {
    static ReadOnChange<QStringList> domains;
    return domains.get([] {
        static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
        return Lib_Systeme::LectureIni(Lib_Public::SettingsFilePath(), QStringLiteral("HVE"),
                                       QStringLiteral("Domaines"), QString())
            .toLower()
            .split(separators, Qt::SkipEmptyParts);
    });
}

} // namespace HveSettings

namespace ExchangeLoginSettings {

mail::ExchangeLogin Read() {
    static ReadOnChange<mail::ExchangeLogin> login;
    return login.get([] {
        const QString file = Lib_Public::SettingsFilePath();
        const auto read = [&](const char* section, const char* key) {
            return Lib_Systeme::LectureIni(file, QString::fromLatin1(section),
                                           QString::fromLatin1(key), QString())
                .trimmed();
        };
        mail::ExchangeLogin out;
        out.method = read("Exchange", "Authentification");
        out.principal = read("Kerberos", "Principal");
        const QString keytab = read("Kerberos", "Keytab");
        // A bare file name lives beside the settings, as the other key files do.
        const bool bare = !keytab.contains(u'/') && !keytab.contains(u'\\');
        out.keytab = keytab.isEmpty() ? QString()
                     : bare ? mail::detail::NativePath(Lib_Public::DossierConfigGlobal[0] + keytab)
                            : mail::detail::NativePath(keytab);
        return out;
    });
}

} // namespace ExchangeLoginSettings

namespace OAuthSettings {

OAuthKeys readSection(const QString& file) {
    const auto read = [&](const char* key, const QString& fallback = QString()) {
        return Lib_Systeme::LectureIni(file, QStringLiteral("OAuth2"), QString::fromLatin1(key),
                                       fallback);
    };
    OAuthKeys k;
    k.method = read("Methode", QStringLiteral("0"));
    k.preset = read("Fournisseur", QStringLiteral("microsoft"));
    k.tenant = read("Tenant");
    k.clientId = read("ClientId");
    k.authorize = read("Autorisation");
    k.device = read("CodeAppareil");
    k.token = read("Jeton");
    k.scopeSmtp = read("ScopeSmtp");
    k.scopeEws = read("ScopeEws");
    k.scopeGraph = read("ScopeGraph");
    k.grant = read("Octroi", QStringLiteral("0"));
    return k;
}

mail::oauth::Provider providerOf(const OAuthKeys& k) {
    const QString kOtherProvider = QStringLiteral("autre");
    mail::oauth::Provider p;
    p.preset =
        k.preset.compare(kOtherProvider, Qt::CaseInsensitive) == 0 ? QString() : k.preset.trimmed();
    p.tenant = k.tenant.trimmed();
    p.clientId = k.clientId.trimmed();
    p.authorizeEndpoint = k.authorize.trimmed();
    p.deviceEndpoint = k.device.trimmed();
    p.tokenEndpoint = k.token.trimmed();
    p.scopeSmtp = k.scopeSmtp.trimmed();
    p.scopeEws = k.scopeEws.trimmed();
    p.scopeGraph = k.scopeGraph.trimmed();
    p.grant = Lib_Public::StoredNumber(k.grant).value_or(0) == 1
                  ? mail::oauth::Grant::ClientCredentials
                  : mail::oauth::Grant::DeviceCode;
    return mail::oauth::Resolved(p);
}

mail::oauth::Provider ReadProvider(const QString& file) {
    return providerOf(readSection(file));
}

QString SecretsFile() {
    return mail::detail::NativePath(Lib_Public::DossierConfigGlobal[0] +
                                    QStringLiteral("VL3_Postique_OAuth2.json"));
}

std::shared_ptr<const mail::oauth::Login> LoginOf(const station::SendingSettings& settings) {
    if (!settings.auth || !settings.oauth)
        return nullptr;
    static ReadOnChange<mail::oauth::Provider> provider;
    auto login = std::make_shared<mail::oauth::Login>();
    login->provider = provider.get([] { return ReadProvider(Lib_Public::SettingsFilePath()); });
    login->user = settings.user.trimmed();
    login->secretsFile = SecretsFile();
    login->protocol = settings.protocol;
    return login;
}

} // namespace OAuthSettings
