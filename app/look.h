// The suite's visual style, chosen machine-wide in the registry, turned into a Qt look
// (Fusion style, palette, style sheet), and the main window's saved position.
#pragma once

#include <QColor>
#include <QString>
#include <QTranslator>
#include <QtGlobal>

#include <memory>
#include <optional>

class QWidget;

namespace Lib_Look {

// Loads the toolkit's French texts (standard buttons such as "Annuler", file dialogs) and
// installs them in the application, and makes French the default locale (sizes, dates); they
// stay installed while the returned object lives.
// Null when the translations are not installed on this system (the texts stay English).
std::unique_ptr<QTranslator> InstallFrenchTranslations();

// Registry key (below HKEY_LOCAL_MACHINE) and value of the style number.
inline constexpr char16_t LookKey[] = u"Software\\Halvaro\\Velmora\\Look";
inline constexpr char16_t StyleValue[] = u"Style";
inline constexpr qint32 DefaultStyle = 15;
inline constexpr qint32 LastStyle = 20;

// Style file (relative to the skins folder, "" for none) and colour scheme of a style 0..20.
struct StyleFiles {
    QString styleFile;
    QString scheme;
};
StyleFiles StyleTable(qint32 style);

// DossierApplication + "Settings\Skins\Styles".
QString SkinsFolder();

// The style in force (0 until InitGeneralLook picked one).
qint32 CurrentStyle();

// The colours a style gives the controls (C), the panels (P), edit fields in styles 15 and
// 17 (H), and the frame headers and borders.
struct Colours {
    QColor control;                  // C
    QColor panel;                    // P
    std::optional<QColor> highlight; // H
    QColor headerTop;
    QColor headerBottom;
    QColor border;
    QColor accent; // the scheme's own colour: menu bar, selections
};
Colours ColoursFor(qint32 style);

// The platform's button face, as it was before any style was applied.
QColor ButtonFace();

// Picks the style: -1 reads "Style" from the registry (blank: 15, written back as "15");
// any other value is used as given. For 0..20 the style becomes current and the look is
// applied to the whole program (Fusion style and palette); another number loads nothing and
// leaves the current style. Errors are reported under "Lib_Look:InitGeneralLook".
void InitGeneralLook(qint32& style);

// Recolours the controls of `form` for the current style, walking them by kind (frames,
// tabs, check boxes, text boxes, lists, labels). Label "Lib_Look:LookFenetre".
void LookFenetre(QWidget* form);

// The style sheet LookFenetre gives a form for `style` (empty for style 20).
QString StyleSheetFor(qint32 style);

} // namespace Lib_Look

namespace Lib_Public {

// Twips per pixel at 96 dots per inch: positions are stored in twips.
inline constexpr int TwipsPerPixel = 15;

// The positions file: NomFichierSettings("_Positions", ".Ini").
QString PositionsFile();

// Puts `form` where it was saved (section "FrmPos", keys "<name>_Left" and "<name>_Top",
// twips, default 0), with the corrections: Top beyond the screen height becomes half the
// screen height; a window whose bottom would be above 100 twips goes to Top 0; Left below
// -20000 becomes 0; a position outside every screen comes back onto the primary screen; the
// frame's title bar never goes above or left of the screen's free area. The position is that
// of the window's inside, without its frame (what the window manager keeps exactly).
// `qualifier` is appended to the form's name in the keys. Label "Lib_Public:PositionFeuille".
void PositionFeuille(QWidget* form, const QString& qualifier);

// Saves `form`'s Left and Top (twips, its inside, without the frame) when it is neither minimised
// nor maximised. Label "Lib_Public:PositionFeuilleSauvegarde".
void PositionFeuilleSauvegarde(QWidget* form, const QString& qualifier);

} // namespace Lib_Public
