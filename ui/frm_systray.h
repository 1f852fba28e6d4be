// The hidden tray form: the list of windows that sleep mode hid and the tray icon's pop-up
// menu. Never shown.
#pragma once

#include <QWidget>

class QAction;
class QListWidget;
class QMenu;

// Conventions: see ui/frm_main.h (members named and objectNamed as in the design).
class FrmSysTray : public QWidget {
    Q_OBJECT
public:
    explicit FrmSysTray(QWidget* parent = nullptr);
    ~FrmSysTray() override;

    // The single instance (created with the main window), or nullptr.
    static FrmSysTray* instance();

    // Names (objectName) of the windows hidden by sleep mode.
    QListWidget* ListeFrm = nullptr;

    // Pop-up menu "Flottant" (never a menu bar) and its items.
    QMenu* MnuFlottant = nullptr;
    QAction* MnuAfficher = nullptr; // "Afficher"
    QAction* MnuSep01 = nullptr;    // separator
    QAction* MnuAbout = nullptr;    // "A propos..."
    QAction* MnuQuitter = nullptr;  // "Quitter": leaves the program as the window's menu does

public Q_SLOTS:
    // Tray and sleep handlers (labels "Frm_SysTray:<name>").
    void MnuAfficher_Click();
    void MnuAbout_Click();
    void MnuQuitter_Click();
    // Right-button press on the tray icon: shows MnuFlottant at the mouse position.
    void SysTrayMouseEventHandler();
    // Brings back the windows listed in ListeFrm, main window first, and removes the icon.
    void AfficherFeuille();
    // Unloading the tray form: brings hidden windows back first.
    void Form_Unload(qint16& Cancel);
};
