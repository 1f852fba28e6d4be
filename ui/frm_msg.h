// The start-up message window: a small topmost panel at the top of the screen showing the
// progress captions while the program starts.
#pragma once

#include <QWidget>

#include <array>

class QLabel;

// Conventions: see ui/frm_main.h (members named and objectNamed as in the design).
class FrmMsg : public QWidget {
    Q_OBJECT
public:
    explicit FrmMsg(QWidget* parent = nullptr);

    QLabel* LabelMsgInit = nullptr;             // "Velmora", then the progress captions
    std::array<QLabel*, 2> LabelPatientez = {}; // "Patientez S.V.P."

    // Corner ellipse of the rounded window region, in pixels.
    static constexpr int CornerEllipse = 24;

    // Makes the window topmost, puts its top edge at the top of the screen centred
    // horizontally, and rounds its corners. Errors are reported under "FrmMsg:Form_Load".
    void Form_Load();
};
