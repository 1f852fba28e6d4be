// The start-up sequence of the main window.
#include "app/globals.h"
#include "ui/frm_main.h"

#include <QTimer>

void Frm_Main::Form_Initialize() {}

void Frm_Main::Form_Load() {
    TimerSendEmail->start();
    show();
    Lib_Public::DemarrageTermine = true;
}

void Frm_Main::InitGeneral() {}
void Frm_Main::InitGeneralSysteme() {}
