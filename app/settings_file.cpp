// Reading the settings file into the settings page at start-up and writing it back on save.
#include "app/settings_file.h"

#include "automation/poller.h"
#include "mail/dkim_settings.h"
#include "mail/engine/native_path.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/numbers.h"
#include "system/paths.h"
#include "system/sysinfo.h"
#include "system/unique_fd.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a key of the settings file is attached to.
enum class Kind { Text, Check, Protocol, Port, JobFolders };

// One key of the settings file, in reading and writing order.
struct SettingKey {
    const char* section;
    const char* key;
    Kind kind;
    QLineEdit* Frm_Main::*text = nullptr;
    QCheckBox* Frm_Main::*check = nullptr;
    // Default when the key is absent; nullptr: the control's current state.
    const char* fallback = "";
};

const SettingKey kSettingKeys[] = {
    {"Serveur", "Serveur", Kind::Text, &Frm_Main::TexteServer},
    {"Serveur", "Autentification", Kind::Check, nullptr, &Frm_Main::CheckBoxAuth, "0"},
    {"Serveur", "User", Kind::Text, &Frm_Main::TexteUser},
    {"Serveur", "PW", Kind::Text, &Frm_Main::TextePW},
    {"Serveur", "Protocole", Kind::Protocol, nullptr, nullptr, nullptr},
    {"Serveur", "ConnexionSSL", Kind::Check, nullptr, &Frm_Main::CheckBoxSSL, nullptr},
    {"Envoi", "SignatureNumerique", Kind::Check, nullptr, &Frm_Main::CheckBoxSign, nullptr},
    {"Envoi", "Crypter", Kind::Check, nullptr, &Frm_Main::CheckBoxEncrypt, nullptr},
    {"Dossiers", "Dossier_", Kind::JobFolders},
    {"Dossiers", "SousDossier", Kind::Check, nullptr, &Frm_Main::CheckSousDossiers, "0"},
    {"Email", "From", Kind::Text, &Frm_Main::TexteFrom},
    {"Email", "To", Kind::Text, &Frm_Main::TexteTo},
    {"Email", "Cc", Kind::Text, &Frm_Main::TexteCc},
    {"Email", "Cci", Kind::Text, &Frm_Main::TexteCci},
    // After the sender: a stored port wins over the well-known server's preset.
    {"Serveur", "Port", Kind::Port, nullptr, nullptr, nullptr},
};

const QString kLoadLabel = QStringLiteral("Frm_Main:InitGeneral");
const QString kSaveLabel = QStringLiteral("Frm_Main:CommandSave_Click");

constexpr qint32 kErrOverflow = 6;
constexpr qint32 kErrInvalidPropertyValue = 380;
constexpr qint32 kErrPathFileAccess = 75;

// The stored value of a box: 0 cleared, 1 checked, 2 grayed.
QString checkValueText(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return QStringLiteral("1");
    case Qt::PartiallyChecked:
        return QStringLiteral("2");
    default:
        return QStringLiteral("0");
    }
}

// The grayed state (stored value 2) exists only in files; the operator can leave it but never
// come back to it. Leaving it for "checked" changes no checked flag, so the box's handler is
// raised here by hand.
void showGrayed(QCheckBox* box) {
    box->setCheckState(Qt::PartiallyChecked);
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection =
        QObject::connect(box, &QCheckBox::stateChanged, box, [box, connection](int state) {
            if (state == Qt::PartiallyChecked)
                return;
            QObject::disconnect(*connection);
            box->setTristate(false);
            if (state == Qt::Checked)
                Q_EMIT box->toggled(true);
        });
}

// Applies a stored check-box value: 0 clears, 1 checks, 2 grays; anything else is refused
// and the box keeps its state.
void applyCheckValue(QCheckBox* box, const QString& stored) {
    const std::optional<qint16> value = Lib_Public::StoredNumber(stored);
    if (!value)
        throw Lib_Public::RunTimeError(kErrOverflow, QStringLiteral("Overflow"));
    switch (*value) {
    case 0:
        box->setCheckState(Qt::Unchecked);
        break;
    case 1:
        box->setCheckState(Qt::Checked);
        break;
    case 2:
        showGrayed(box);
        break;
    default:
        throw Lib_Public::RunTimeError(kErrInvalidPropertyValue,
                                       QStringLiteral("Invalid property value"));
    }
}

// Applies a stored protocol index: -1 (no choice) to the last listed; anything else is refused.
void applyProtocol(QComboBox* list, const QString& stored) {
    const std::optional<qint16> value = Lib_Public::StoredNumber(stored);
    if (!value)
        throw Lib_Public::RunTimeError(kErrOverflow, QStringLiteral("Overflow"));
    if (*value < -1 || *value >= list->count())
        throw Lib_Public::RunTimeError(kErrInvalidPropertyValue,
                                       QStringLiteral("Invalid property value"));
    list->setCurrentIndex(*value);
}

// Applies a stored port: a whole number 1..65535, selected in the list (added to it when it is
// not one of the usual ports); anything else is refused and the list keeps its choice.
void applyPort(QComboBox* list, const QString& stored) {
    bool ok = false;
    const int port = stored.trimmed().toInt(&ok);
    if (!ok || port <= 0 || port > 65535)
        throw Lib_Public::RunTimeError(kErrInvalidPropertyValue,
                                       QStringLiteral("Invalid property value (Port)"));
    const QString text = QString::number(port);
    if (list->findText(text) < 0)
        list->addItem(text);
    list->setCurrentIndex(list->findText(text));
}

// The native path of an INI file text; a bare name lives in the Windows folder.
QString nativeIniPath(const QString& file) {
    QString text = file;
    if (!text.contains(QLatin1Char('\\')) && !text.contains(QLatin1Char('/')))
        text = Lib_Public::CheckRep(Lib_Systeme::GetWinDir()) + text;
    return WinPath::nativePath(text);
}

} // namespace

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

QString JobFolderKey(int index) {
    return QStringLiteral("Dossier_") + N2S(index, 2, 0, QStringLiteral("0"));
}

bool CreatePrivateSettingsFile(const QString& file, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QString native = nativeIniPath(file);
    if (native.isEmpty())
        return fail(QStringLiteral("Chemin introuvable: ") + file);
    if (QFileInfo::exists(native))
        return true;
    // The folder first, as the INI layer would create it on its first write.
    const qsizetype slash = file.lastIndexOf(QLatin1Char('\\'));
    if (slash > 0)
        Lib_Systeme::VerificationEtCreationRepertoire(file.left(slash + 1), true);
    const QByteArray path = QFile::encodeName(native);
    const Posix::UniqueFd fd(
        ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        if (errno == EEXIST)
            return true;
        return fail(QString::fromLocal8Bit(std::strerror(errno)) + QStringLiteral(": ") + file);
    }
    return true;
}

} // namespace Lib_Public

void Frm_Main::LoadSettingsFile() {
    using namespace Lib_Public;
    const QString file = SettingsFilePath();
    const auto read = [&](const SettingKey& k, const QString& fallback) {
        return Lib_Systeme::LectureIni(file, QString::fromLatin1(k.section),
                                       QString::fromLatin1(k.key), fallback);
    };
    // The credential fields start in step with their box; its handler keeps them so.
    Trap(kLoadLabel, [this] {
        const bool on = CheckBoxAuth->checkState() == Qt::Checked;
        TexteUser->setEnabled(on);
        TextePW->setEnabled(on);
    });
    // The handlers that react to an operator's choice (not to a loaded value) look at this.
    loadingSettings_ = true;
    const struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{loadingSettings_};
    for (const SettingKey& k : kSettingKeys) {
        switch (k.kind) {
        case Kind::Text:
            Trap(kLoadLabel, [&] { (this->*k.text)->setText(read(k, QString())); });
            // The sender fills the server and the user only where the file left them empty.
            if (k.text == &Frm_Main::TexteUser)
                RemplirUtilisateur = TexteUser->text().isEmpty();
            if (k.text == &Frm_Main::TexteServer)
                RemplirServeur = TexteServer->text().isEmpty();
            break;
        case Kind::Check:
            Trap(kLoadLabel, [&] {
                QCheckBox* box = this->*k.check;
                const QString fallback =
                    k.fallback ? QString::fromLatin1(k.fallback) : checkValueText(box);
                applyCheckValue(box, read(k, fallback));
            });
            break;
        case Kind::Protocol:
            Trap(kLoadLabel, [&] {
                applyProtocol(ListeProtocol,
                              read(k, QString::number(ListeProtocol->currentIndex())));
            });
            break;
        case Kind::Port:
            Trap(kLoadLabel, [&] {
                const QString stored = read(k, QString());
                if (!stored.trimmed().isEmpty())
                    applyPort(ListePort, stored);
            });
            break;
        case Kind::JobFolders:
            for (int index = 0; index < static_cast<int>(TexteDossier.size()); ++index) {
                Trap(kLoadLabel, [&] {
                    const QString fallback =
                        index == 0 ? Sites[0].DossierData + QStringLiteral("_Postique\\")
                                   : QString();
                    const QString folder = Lib_Systeme::LectureIni(
                        file, QString::fromLatin1(k.section), JobFolderKey(index), fallback);
                    Lib_Systeme::VerificationEtCreationRepertoire(folder, true);
                    // Kept in the suite's form, shown in the operator's.
                    TexteDossier[index]->setText(WinPath::forScreen(folder));
                });
            }
            break;
        }
    }
    Trap(kLoadLabel, [&] { LoadOAuthSettings(file); });
    KeepSavedSettings();
}

void Frm_Main::CommandSave_Click() {
    using namespace Lib_Public;
    const QString file = SettingsFilePath();
    Trap(kSaveLabel, [&] {
        QString error;
        if (!CreatePrivateSettingsFile(file, &error))
            throw RunTimeError(kErrPathFileAccess, error);
    });
    for (const SettingKey& k : kSettingKeys) {
        const QString section = QString::fromLatin1(k.section);
        const auto write = [&](const QString& key, const QString& value) {
            Trap(kSaveLabel, [&] { Lib_Systeme::EcritureIni(file, section, key, value); });
        };
        switch (k.kind) {
        case Kind::Text:
            write(QString::fromLatin1(k.key), (this->*k.text)->text());
            break;
        case Kind::Check:
            write(QString::fromLatin1(k.key), checkValueText(this->*k.check));
            break;
        case Kind::Protocol:
            write(QString::fromLatin1(k.key), QString::number(ListeProtocol->currentIndex()));
            break;
        case Kind::Port:
            write(QString::fromLatin1(k.key), ListePort->currentText().trimmed());
            break;
        case Kind::JobFolders:
            for (int index = 0; index < static_cast<int>(TexteDossier.size()); ++index)
                write(JobFolderKey(index), WinPath::fromScreen(TexteDossier[index]->text()));
            break;
        }
    }
    Trap(kSaveLabel, [&] { SaveOAuthSettings(file); });
    ParametresModifies = false;
    KeepSavedSettings();
    // A job folder that does not exist is saved as typed, but never silently: no job could
    // ever be taken from it.
    for (const QLineEdit* field : TexteDossier) {
        Trap(kSaveLabel, [&] {
            const QString folder = field->text().trimmed();
            if (folder.isEmpty() || automation::jobFolderExists(folder))
                return;
            MsgBox::Show(QStringLiteral("Le dossier partagé « %1 » n'existe pas : aucun mail "
                                        "automatique n'en partira tant qu'il n'existe pas.")
                             .arg(Untrusted::Clean(folder)),
                         MsgBox::Icon::Exclamation, MsgBox::Buttons::OK);
        });
    }
}

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
