// The start-up message window's look and placement.
#include "ui/frm_msg.h"

#include "system/error_reporting.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>
#include <QVBoxLayout>

FrmMsg::FrmMsg(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    setObjectName("FrmMsg");
    setWindowTitle(QStringLiteral("Velmora"));
    setFixedSize(420, 130);

    auto* layout = new QVBoxLayout(this);
    LabelMsgInit = new QLabel(QStringLiteral("Velmora"), this);
    LabelMsgInit->setObjectName("LabelMsgInit");
    LabelMsgInit->setAlignment(Qt::AlignCenter);
    QFont big = LabelMsgInit->font();
    big.setBold(true);
    big.setPointSize(big.pointSize() + 2);
    LabelMsgInit->setFont(big);
    layout->addWidget(LabelMsgInit);
    for (int i = 0; i < 2; ++i) {
        LabelPatientez[i] = new QLabel(QStringLiteral("Patientez S.V.P."), this);
        LabelPatientez[i]->setObjectName(QStringLiteral("LabelPatientez_%1").arg(i));
        LabelPatientez[i]->setAlignment(Qt::AlignCenter);
        layout->addWidget(LabelPatientez[i]);
    }
}

void FrmMsg::Form_Load() {
    const QString label = QStringLiteral("FrmMsg:Form_Load");
    Lib_Public::Trap(label, [&] {
        // Topmost without moving or resizing.
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
    });
    Lib_Public::Trap(label, [&] {
        QScreen* screen = QGuiApplication::primaryScreen();
        if (!screen)
            throw Lib_Public::RunTimeError(91, QStringLiteral("No screen"));
        const QRect area = screen->geometry();
        move(area.left() + area.width() / 2 - width() / 2, area.top());
    });
    Lib_Public::Trap(label, [&] {
        QPainterPath path;
        path.addRoundedRect(QRectF(0, 0, width(), height()), CornerEllipse / 2.0,
                            CornerEllipse / 2.0);
        setMask(QRegion(path.toFillPolygon().toPolygon()));
    });
}
