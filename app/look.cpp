// The style table and colour rules turned into Qt's Fusion style, a palette and a style
// sheet; the form walk that recolours controls by kind; saved window positions.
#include "app/look.h"

#include "app/folders.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/registry.h"

#include <QApplication>
#include <QEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTimer>
#include <QTranslator>

#include <array>
#include <cmath>

namespace Lib_Look {

std::unique_ptr<QTranslator> InstallFrenchTranslations() {
    // Sizes, dates and file types in the toolkit's dialogs in French too, whatever the
    // session's language.
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QLocale(QLocale::French, QLocale::France), QStringLiteral("qtbase"),
                          QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator.get()))
        return nullptr;
    return translator;
}

namespace {

qint32 currentStyle = 0;

// The application palette before the first style was applied: the platform's own.
std::optional<QPalette>& platformPalette() {
    static std::optional<QPalette> palette;
    return palette;
}

QColor rgb(int r, int g, int b) {
    return QColor(r, g, b);
}

QString css(const QColor& c) {
    return c.name(QColor::HexRgb);
}

// The scheme's own colour, which sets the menu bar and the selections apart.
QColor schemeAccent(const QString& scheme) {
    struct Entry {
        const char* scheme;
        QColor colour;
    };
    static const std::array<Entry, 15> table = {{
        {"NormalBlack.ini", rgb(45, 45, 48)},
        {"NormalBlack2.ini", rgb(78, 78, 92)},
        {"NormalBlue.ini", rgb(61, 110, 180)},
        {"NormalSilver.ini", rgb(150, 155, 168)},
        {"NormalRoyale.ini", rgb(49, 106, 197)},
        {"NormalHomeStead.ini", rgb(128, 140, 72)},
        {"NormalMetallic.ini", rgb(128, 128, 150)},
        {"NormalVistaBlue.ini", rgb(88, 136, 204)},
        {"LightBlue.ini", rgb(150, 188, 232)},
        {"NormalAqua.ini", rgb(48, 168, 196)},
        {"NormalVistaSilver.ini", rgb(170, 174, 190)},
        {"Normalitunes.ini", rgb(119, 190, 242)},
        {"NormalThallos.ini", rgb(154, 170, 187)},
        {"NormalAppleB.ini", rgb(72, 122, 204)},
        {"NormalAppleG.ini", rgb(120, 124, 130)},
    }};
    for (const Entry& e : table)
        if (scheme == QLatin1String(e.scheme))
            return e.colour;
    return QColor();
}

// The corner rounding of a style file's family, in pixels.
int familyRadius(const QString& styleFile) {
    if (styleFile.startsWith(QLatin1String("\\iTunes")))
        return 8;
    if (styleFile.startsWith(QLatin1String("\\Tiger")))
        return 6;
    if (styleFile.startsWith(QLatin1String("\\Vista")) ||
        styleFile.startsWith(QLatin1String("\\WinXP")))
        return 3;
    if (styleFile.startsWith(QLatin1String("\\Office2007")) ||
        styleFile.startsWith(QLatin1String("\\Thallos")))
        return 2;
    return 0;
}

// Black or white, whichever reads on `background`.
QColor textOn(const QColor& background) {
    return background.lightness() < 140 ? QColor(Qt::white) : QColor(Qt::black);
}

QPalette paletteFor(qint32 style) {
    QPalette palette = platformPalette().value_or(QApplication::palette());
    if (style == LastStyle)
        return palette;
    const Colours c = ColoursFor(style);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, c.panel);
        palette.setColor(group, QPalette::Button, c.control);
        palette.setColor(group, QPalette::WindowText, Qt::black);
        palette.setColor(group, QPalette::ButtonText, Qt::black);
        palette.setColor(group, QPalette::Text, Qt::black);
        palette.setColor(group, QPalette::Base, Qt::white);
        palette.setColor(group, QPalette::Highlight, c.accent);
        palette.setColor(group, QPalette::HighlightedText, textOn(c.accent));
    }
    palette.setColor(QPalette::Disabled, QPalette::Window, c.panel);
    palette.setColor(QPalette::Disabled, QPalette::Button, c.control);
    return palette;
}

} // namespace

StyleFiles StyleTable(qint32 style) {
    static const std::array<StyleFiles, 21> table = {{
        {QStringLiteral("\\Vista.cjstyles"), QStringLiteral("NormalBlack.ini")},
        {QStringLiteral("\\Vista.cjstyles"), QStringLiteral("NormalBlack2.ini")},
        {QStringLiteral("\\Vista.cjstyles"), QStringLiteral("NormalBlue.ini")},
        {QStringLiteral("\\Vista.cjstyles"), QStringLiteral("NormalSilver.ini")},
        {QStringLiteral("\\WinXP.Royale.cjstyles"), QStringLiteral("NormalRoyale.ini")},
        {QStringLiteral("\\WinXP.Luna.cjstyles"), QStringLiteral("NormalBlue.ini")},
        {QStringLiteral("\\WinXP.Luna.cjstyles"), QStringLiteral("NormalHomeStead.ini")},
        {QStringLiteral("\\WinXP.Luna.cjstyles"), QStringLiteral("NormalMetallic.ini")},
        {QStringLiteral("\\Codejock.cjstyles"), QStringLiteral("NormalBlue.ini")},
        {QStringLiteral("\\Codejock.cjstyles"), QStringLiteral("NormalBlack.ini")},
        {QStringLiteral("\\Office2007.cjstyles"), QStringLiteral("NormalVistaBlue.ini")},
        {QStringLiteral("\\Office2007.cjstyles"), QStringLiteral("LightBlue.ini")},
        {QStringLiteral("\\Office2007.cjstyles"), QStringLiteral("NormalAqua.ini")},
        {QStringLiteral("\\Office2007.cjstyles"), QStringLiteral("NormalVistaSilver.ini")},
        {QStringLiteral("\\Office2007.cjstyles"), QStringLiteral("NormalBlack.ini")},
        {QStringLiteral("\\iTunes"), QStringLiteral("Normalitunes.ini")},
        {QStringLiteral("\\Le5"), QStringLiteral("NormalBlue.ini")},
        {QStringLiteral("\\Thallos.cjstyles"), QStringLiteral("NormalThallos.ini")},
        {QStringLiteral("\\Tiger.cjstyles"), QStringLiteral("NormalAppleB.ini")},
        {QStringLiteral("\\Tiger.cjstyles"), QStringLiteral("NormalAppleG.ini")},
        {QString(), QString()},
    }};
    if (style < 0 || style > LastStyle)
        return {};
    return table[static_cast<std::size_t>(style)];
}

QString SkinsFolder() {
    return Lib_Public::DossierApplication + QStringLiteral("Settings\\Skins\\Styles");
}

qint32 CurrentStyle() {
    return currentStyle;
}

QColor ButtonFace() {
    return platformPalette()
        .value_or(QApplication::palette())
        .color(QPalette::Active, QPalette::Button);
}

Colours ColoursFor(qint32 style) {
    Colours c;
    const QColor face = ButtonFace();
    switch (style) {
    case 0:
    case 1:
    case 2:
    case 3:
        c.control = face;
        c.panel = rgb(240, 240, 240);
        break;
    case 4:
    case 18:
    case 19:
        c.control = c.panel = rgb(240, 240, 240);
        break;
    case 5:
    case 6:
    case 16:
        c.control = c.panel = rgb(236, 233, 216);
        break;
    case 7:
        c.control = c.panel = rgb(224, 223, 227);
        break;
    case 8:
        c.control = c.panel = rgb(235, 235, 228);
        break;
    case 9:
        c.control = c.panel = rgb(232, 232, 232);
        break;
    case 10:
        c.control = c.panel = rgb(191, 219, 255);
        break;
    case 11:
        c.control = c.panel = rgb(227, 239, 255);
        break;
    case 12:
        c.control = c.panel = rgb(237, 237, 237);
        break;
    case 13:
        c.control = c.panel = rgb(238, 238, 244);
        break;
    case 14:
        c.control = c.panel = rgb(235, 235, 235);
        break;
    case 15:
        c.control = c.panel = rgb(182, 182, 182);
        break;
    case 17:
        c.control = c.panel = rgb(238, 242, 245);
        break;
    default:
        c.control = c.panel = face;
        break;
    }
    if (style == 15 || style == 17)
        c.highlight = rgb(255, 239, 178);
    if (style == 4 || style == 10 || style == 11) {
        c.headerTop = rgb(242, 247, 255);
        c.headerBottom = rgb(190, 210, 234);
        c.border = style == 4 ? rgb(190, 210, 234) : rgb(80, 80, 80);
    } else if (style == 17) {
        c.headerTop = rgb(197, 206, 217);
        c.headerBottom = rgb(154, 170, 187);
        c.border = rgb(154, 170, 187);
    } else {
        c.headerTop = rgb(252, 252, 254);
        c.headerBottom = rgb(80, 80, 80);
        c.border = rgb(80, 80, 80);
    }
    c.accent = schemeAccent(StyleTable(style).scheme);
    if (!c.accent.isValid())
        c.accent = platformPalette().value_or(QApplication::palette()).color(QPalette::Highlight);
    return c;
}

QString StyleSheetFor(qint32 style) {
    if (style < 0 || style >= LastStyle)
        return QString();
    const Colours c = ColoursFor(style);
    const int radius = familyRadius(StyleTable(style).styleFile);
    QString sheet;
    sheet += QStringLiteral("QMenuBar { background: %1; color: %2; }\n"
                            "QMenuBar::item:selected { background: %3; color: %4; }\n")
                 .arg(css(c.accent), css(textOn(c.accent)), css(c.accent.lighter(130)),
                      css(textOn(c.accent.lighter(130))));
    sheet += QStringLiteral("QWidget#FrmMainCentral, QTabWidget > QWidget { background: %1; }\n")
                 .arg(css(c.panel));
    sheet += QStringLiteral(
                 "QGroupBox { background: %1; border: 1px solid %2; border-radius: %3px;"
                 " margin-top: 22px; padding-top: 6px; font: bold 8pt \"Arial\"; color: black; }\n"
                 "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                 " left: 0px; padding: 3px 10px; color: black; border: 1px solid %2;"
                 " border-radius: %3px; background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
                 " stop:0 %4, stop:1 %5); }\n")
                 .arg(css(c.panel), css(c.border))
                 .arg(radius)
                 .arg(css(c.headerTop), css(c.headerBottom));
    sheet += QStringLiteral("QCheckBox { background: %1; }\nQLabel { background: transparent; }\n")
                 .arg(css(c.control));
    sheet += QStringLiteral(
                 "QPushButton { border: 1px solid %1; border-radius: %2px; padding: 3px 10px;"
                 " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %3, stop:1 %4); }\n"
                 "QPushButton:hover { border-color: %5; }\n"
                 "QPushButton:pressed { background: %4; }\n")
                 .arg(css(c.control.darker(160)))
                 .arg(radius)
                 .arg(css(c.control.lighter(112)), css(c.control.darker(108)), css(c.accent));
    const QString fieldBack =
        c.highlight ? QStringLiteral(" background: %1;").arg(css(*c.highlight)) : QString();
    sheet += QStringLiteral("QLineEdit, QPlainTextEdit { border: 1px solid %1;%2 }\n")
                 .arg(css(c.control.darker(150)), fieldBack);
    // The field or button that has the keyboard stands out (a plain border would hide it).
    sheet += QStringLiteral("QLineEdit:focus, QPlainTextEdit:focus { border: 2px solid %1; }\n"
                            "QPushButton:focus { border: 2px solid %1; }\n")
                 .arg(css(c.accent.darker(160)));
    if (c.highlight)
        sheet += QStringLiteral("QListWidget, QComboBox, QTableView {%1 }\n").arg(fieldBack);
    if (style == 15) {
        sheet +=
            QStringLiteral(
                "QTabWidget::pane { border: 1px solid #8c8c8c; }\n"
                "QTabBar::tab { padding: 4px 12px; border: 1px solid #8c8c8c; border-bottom: none;"
                " border-top-left-radius: 4px; border-top-right-radius: 4px;"
                " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #e1e1e1, stop:1 %1); "
                "}\n"
                "QTabBar::tab:selected { font-weight: bold; background: qlineargradient(x1:0,"
                " y1:0, x2:0, y2:1, stop:0 #c3ddf5, stop:1 #77bef2); }\n")
                .arg(css(c.control));
    } else {
        sheet += QStringLiteral("QTabBar::tab:selected { border-top: 2px solid %1; }\n")
                     .arg(css(c.accent));
    }
    return sheet;
}

void InitGeneralLook(qint32& style) {
    const QString label = QStringLiteral("Lib_Look:InitGeneralLook");
    Lib_Public::Trap(label, [&] {
        if (style != -1)
            return;
        QString text;
        Lib_Systeme::Reg_GetValue(Lib_Systeme::HKEY_LOCAL_MACHINE, QString::fromUtf16(LookKey),
                                  QString::fromUtf16(StyleValue), text);
        if (text.trimmed().isEmpty()) {
            style = DefaultStyle;
            Lib_Systeme::Reg_SetValue(Lib_Systeme::HKEY_LOCAL_MACHINE, QString::fromUtf16(LookKey),
                                      QString::fromUtf16(StyleValue), QString::number(DefaultStyle),
                                      Lib_Systeme::REG_SZ);
        } else {
            bool numeric = false;
            const double value = text.trimmed().toDouble(&numeric);
            style = numeric ? static_cast<qint32>(std::lround(value)) : 0;
        }
    });
    Lib_Public::Trap(label, [&] {
        if (style < 0 || style > LastStyle)
            return; // nothing loaded, the current style stays
        currentStyle = style;
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        if (!app)
            return;
        if (!platformPalette())
            platformPalette() = QApplication::palette();
        if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
            QApplication::setStyle(fusion);
        QApplication::setPalette(paletteFor(style));
    });
}

void LookFenetre(QWidget* form) {
    const QString label = QStringLiteral("Lib_Look:LookFenetre");
    if (!form)
        return;
    Lib_Public::Trap(label, [&] {
        // The frame's font is its header's: the controls inside keep the font they had,
        // which a font set on the frame would otherwise replace.
        for (QGroupBox* frame : form->findChildren<QGroupBox*>()) {
            QList<std::pair<QWidget*, QFont>> inside;
            for (QWidget* control : frame->findChildren<QWidget*>())
                inside.append({control, control->font()});
            QFont font(QStringLiteral("Arial"), 8);
            font.setBold(true);
            frame->setFont(font);
            // Every property made the control's own, or it would still follow the frame's.
            for (auto& [control, own] : inside) {
                own.setResolveMask(QFont::AllPropertiesResolved);
                control->setFont(own);
            }
        }
    });
    Lib_Public::Trap(label, [&] {
        for (QTabWidget* tabs : form->findChildren<QTabWidget*>())
            tabs->setCurrentIndex(0);
        for (QLabel* caption : form->findChildren<QLabel*>())
            if (caption->text() == QLatin1String("..."))
                caption->clear();
    });
    Lib_Public::Trap(label, [&] { form->setStyleSheet(StyleSheetFor(currentStyle)); });
}

} // namespace Lib_Look

namespace Lib_Public {

namespace {

QString keyOf(const QWidget* form, const QString& qualifier, const char* suffix) {
    return form->objectName() + qualifier + QLatin1String(suffix);
}

} // namespace

QString PositionsFile() {
    return NomFichierSettings(QStringLiteral("_Positions"), QStringLiteral(".Ini"));
}

namespace {

// The frame's width on each side of `form`: as the window manager gave it once the window was
// shown; before that, on a display whose windows get a frame, a usual title bar and border.
QMargins frameMarginsOf(const QWidget* form) {
    const QRect frame = form->frameGeometry();
    const QRect inside = form->geometry();
    const QMargins known(inside.left() - frame.left(), inside.top() - frame.top(),
                         frame.right() - inside.right(), frame.bottom() - inside.bottom());
    if (known.isNull() && QGuiApplication::platformName() == QLatin1String("xcb"))
        return QMargins(4, 32, 4, 4);
    return known;
}

// Keeps a window that is about to be shown where it was put: some window managers place a
// new window by their own rule whatever it asks for. Until the window is first painted (the
// manager places it before it shows it), a move elsewhere is answered by a request for the
// asked place, which managers honour for a mapped window. Later moves are the operator's.
class PlaceKeeper : public QObject {
public:
    static inline const QString kName = QStringLiteral("PlaceKeeper");
    PlaceKeeper(QWidget* form, QPoint inside) : QObject(form), form_(form), inside_(inside) {
        setObjectName(kName);
        form->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != form_ || done_)
            return false;
        if (event->type() == QEvent::Show) {
            shown_ = true;
            // Bounded: a manager that insists on its own place wins.
            QTimer::singleShot(2000, this, [this] {
                done_ = true;
                deleteLater();
            });
        } else if (event->type() == QEvent::Paint && shown_) {
            done_ = true;
            deleteLater();
        } else if (event->type() == QEvent::Move && shown_ &&
                   form_->geometry().topLeft() != inside_ && ++corrections_ <= 2) {
            const QRect wanted(inside_, form_->geometry().size());
            QTimer::singleShot(0, this, [this, wanted] { form_->setGeometry(wanted); });
        }
        return false;
    }

private:
    QWidget* form_;
    QPoint inside_;
    bool shown_ = false;
    bool done_ = false;
    int corrections_ = 0;
};

} // namespace

void PositionFeuille(QWidget* form, const QString& qualifier) {
    const QString label = QStringLiteral("Lib_Public:PositionFeuille");
    if (!form)
        return;
    Trap(label, [&] {
        const QString file = PositionsFile();
        const QString section = QStringLiteral("FrmPos");
        auto read = [&](const char* suffix) {
            const QString text = Lib_Systeme::LectureIni(
                file, section, keyOf(form, qualifier, suffix), QStringLiteral("0"));
            bool numeric = false;
            const double value = text.trimmed().toDouble(&numeric);
            return numeric ? static_cast<qint64>(std::llround(value)) : 0;
        };
        qint64 left = read("_Left");
        qint64 top = read("_Top");
        QScreen* primary = QGuiApplication::primaryScreen();
        const QRect screen = primary ? primary->geometry() : QRect(0, 0, 800, 600);
        const qint64 screenHeight = qint64(screen.height()) * TwipsPerPixel;
        const qint64 height = qint64(form->frameGeometry().height()) * TwipsPerPixel;
        if (top > screenHeight)
            top = screenHeight / 2;
        else if (top + height < 100)
            top = 0;
        if (left < -20000)
            left = 0;
        QPoint position(static_cast<int>(left / TwipsPerPixel),
                        static_cast<int>(top / TwipsPerPixel));
        // A position saved on a screen that is no longer there comes back to the primary one.
        const QRect frame(position, form->frameGeometry().size());
        bool onScreen = false;
        for (QScreen* s : QGuiApplication::screens())
            if (s->geometry().intersects(frame.adjusted(0, 0, 0, -frame.height() + 20)))
                onScreen = true;
        if (!onScreen) {
            position.setX(qBound(screen.left(), position.x(),
                                 screen.right() - qMin(frame.width(), screen.width()) + 1));
            position.setY(qBound(screen.top(), position.y(), screen.bottom() - 20));
        }
        // The title bar stays on the screen the window lands on.
        const QMargins margins = frameMarginsOf(form);
        QScreen* landing = QGuiApplication::screenAt(position);
        if (!landing)
            landing = primary;
        const QRect area = landing ? landing->availableGeometry() : screen;
        position.setX(std::max(position.x(), area.left() + margins.left()));
        position.setY(std::max(position.y(), area.top() + margins.top()));
        // The position is the inside of the window, which the window manager keeps as asked
        // (a position with the frame is applied differently by different managers and drifts).
        form->setGeometry(QRect(position, form->geometry().size()));
        if (!form->isVisible()) {
            delete form->findChild<QObject*>(PlaceKeeper::kName, Qt::FindDirectChildrenOnly);
            new PlaceKeeper(form, position);
        }
    });
}

void PositionFeuilleSauvegarde(QWidget* form, const QString& qualifier) {
    const QString label = QStringLiteral("Lib_Public:PositionFeuilleSauvegarde");
    if (!form)
        return;
    Trap(label, [&] {
        if (form->windowState() &
            (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))
            return;
        const QString file = PositionsFile();
        const QString section = QStringLiteral("FrmPos");
        const QPoint inside = form->geometry().topLeft();
        Lib_Systeme::EcritureIni(file, section, keyOf(form, qualifier, "_Left"),
                                 QString::number(qint64(inside.x()) * TwipsPerPixel));
        Lib_Systeme::EcritureIni(file, section, keyOf(form, qualifier, "_Top"),
                                 QString::number(qint64(inside.y()) * TwipsPerPixel));
    });
}

} // namespace Lib_Public
