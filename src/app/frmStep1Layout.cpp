// The window's controls: names, captions, places, sizes, fonts and colours.
// Places are given in twips (15 to a pixel) as the window was first drawn.
#include <QButtonGroup>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include "app/AppArt.h"
#include "app/AppFont.h"
#include "app/SourceGrid.h"
#include "app/frmStep1.h"

namespace mailvane {

namespace {

constexpr int Px(int twips) {
    return (twips + 7) / 15;
}

const QColor kDarkTeal(0, 64, 64);
const QColor kLightGrey(192, 192, 192);

template <typename Widget, typename... Args>
Widget* Make(QWidget* parent, const char* name, int left, int top, int width, int height,
             Args&&... args) {
    auto* widget = new Widget(std::forward<Args>(args)..., parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(Px(left), Px(top), Px(width), Px(height));
    return widget;
}

void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int left, int top,
                  int width, int height) {
    auto* label = Make<QLabel>(parent, name, left, top, width, height, caption);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

}  // namespace

void frmStep1::BuildControls() {
    Image2 = Make<QLabel>(this, "Image2", 0, 0, 9000, 1275);
    Image2->setPixmap(BannerPicture());

    Line1 = Make<QFrame>(this, "Line1", 0, 1280, 9000, 15);
    Line1->setFrameShape(QFrame::NoFrame);
    Line1->setAutoFillBackground(true);
    SetColour(Line1, QPalette::Window, kDarkTeal);

    cmdAdd = Make<QPushButton>(this, "cmdAdd", 240, 1440, 2535, 375,
                               QStringLiteral("Select (.mbox) file(s)..."));
    CmdAddFolder = Make<QPushButton>(this, "CmdAddFolder", 3000, 1440, 3375, 375,
                                     QStringLiteral("Select folder having (.mbox) file(s)..."));
    cmdClear1 = Make<QPushButton>(this, "cmdClear1", 7440, 1440, 1335, 375,
                                  QStringLiteral("Clear file(s)..."));
    lblCount1 = MakeLabel(this, "lblCount1", QStringLiteral("0 files"), 270, 1920, 8535, 255);

    grdFiles1 = Make<SourceTable>(this, "grdFiles1", 240, 2160, 8535, 1575);

    Frame1 = Make<QGroupBox>(this, "Frame1", 240, 3840, 8535, 1695,
                             QStringLiteral(" I want to convert mbox mailbox messages to"));
    // The caption sits on the frame's top line, so the options placed 16
    // pixels down are inside the frame whatever the style.
    Frame1->setStyleSheet(QStringLiteral(
        "QGroupBox#Frame1 { border: 1px solid #c0c0c0; border-radius: 2px; margin-top: 6px; }"
        "QGroupBox#Frame1::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0 1px; }"));
    Picture1 = Make<QWidget>(Frame1, "Picture1", 120, 240, 8295, 1335);
    OptEML = Make<QRadioButton>(
        Picture1, "OptEML", 0, 0, 8055, 255,
        QStringLiteral("(.eml) files          -     (Supported by Outlook Express, Windows Mail, "
                       "Windows Live Mail)"));
    OptEMLX = Make<QRadioButton>(
        Picture1, "OptEMLX", 0, 360, 8295, 255,
        QStringLiteral("(.emlx) files        -     (Supported by Mac OS X Tiger Mail)"));
    OptPST = Make<QRadioButton>(
        Picture1, "OptPST", 0, 720, 8055, 255,
        QStringLiteral(
            "(.pst) files          -     (Supported by MS Outlook, Outlook 2011 for Mac)"));
    OptMSG = Make<QRadioButton>(
        Picture1, "OptMSG", 0, 1080, 8055, 255,
        QStringLiteral("(.msg) files         -     (Supported by MS Outlook, Document Management "
                       "Software, Forensic Tools)"));
    outputGroup_ = new QButtonGroup(this);
    outputGroup_->setObjectName(QStringLiteral("outputGroup"));
    for (QRadioButton* option : {OptEML, OptEMLX, OptPST, OptMSG}) {
        outputGroup_->addButton(option);
        // Under the frame's style sheet, children no longer inherit the font.
        option->setFont(font());
    }

    ChkAllinOnePST =
        Make<QCheckBox>(this, "ChkAllinOnePST", 240, 5640, 4455, 255,
                        QStringLiteral("Create Single Outlook PST file for All MBOX files"));
    ChkAllinOnePST->setToolTip(QStringLiteral(
        "Selecting this option will allow you to create a single PST file for all MBOX files"));
    ChkAllinOnePST->setChecked(true);
    // Off at first, so the window converts as it always did until asked.
    ChkKeepFolders = Make<QCheckBox>(this, "ChkKeepFolders", 4800, 5640, 3975, 255,
                                     QStringLiteral("Keep folders, read state and labels"));
    ChkKeepFolders->setToolTip(QStringLiteral(
        "Mailboxes found in a chosen folder keep its folder tree (Thunderbird, Apple Mail); "
        "messages keep read, answered and flagged as the mail program marked them; Gmail's "
        "labels become folders, with its Spam and Trash left out"));

    Label4 =
        MakeLabel(this, "Label4", QStringLiteral("Converting Messages..."), 240, 5955, 1815, 255);
    LblProgessCurrent = MakeLabel(this, "LblProgessCurrent", QStringLiteral("Mailbox  0 (of 0)"),
                                  600, 6240, 8175, 255);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("Reading          :"), 600, 6480, 1335, 255);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    SetColour(Label1, QPalette::WindowText, kDarkTeal);
    LblIMMFile = MakeLabel(this, "LblIMMFile", QString(), 1920, 6480, 6855, 255);
    Image3 = Make<QLabel>(this, "Image3", 600, 6735, 240, 240);
    Image3->setPixmap(SmallIcon());
    LblProgress = MakeLabel(this, "LblProgress", QStringLiteral("Saving :"), 960, 6735, 7815, 255);
    for (QLabel* label : {LblProgessCurrent, LblIMMFile, LblProgress}) {
        SetColour(label, QPalette::WindowText, Qt::black);
    }
    // The bytes read of the mailbox being read, beside the progress heading:
    // a large mailbox or message shows it is moving. Hidden until a run.
    PrgMailbox = Make<QProgressBar>(this, "PrgMailbox", 2160, 5985, 6615, 195);
    PrgMailbox->setRange(0, 1000);
    PrgMailbox->setTextVisible(false);
    PrgMailbox->hide();

    CmdConvert =
        Make<QPushButton>(this, "CmdConvert", 3120, 7200, 2775, 555, QStringLiteral("Convert"));
    CmdConvert->setFont(WindowFont(14.25));

    Shape1 = Make<QFrame>(this, "Shape1", 0, 7920, 9015, 855);
    Shape1->setFrameShape(QFrame::Box);
    Shape1->setFrameShadow(QFrame::Plain);
    Shape1->setLineWidth(1);
    Shape1->setAutoFillBackground(true);
    SetColour(Shape1, QPalette::Window, Qt::white);
    SetColour(Shape1, QPalette::WindowText, kLightGrey);

    Picture3 = Make<QWidget>(this, "Picture3", 240, 8040, 8655, 495);
    Picture3->setAutoFillBackground(true);
    SetColour(Picture3, QPalette::Window, Qt::white);
    CmdHelp =
        Make<QPushButton>(Picture3, "CmdHelp", 0, 0, 1695, 375, QStringLiteral("&Help Manual"));
    cmdEnd = Make<QPushButton>(Picture3, "cmdEnd", 7200, 0, 1335, 375, QStringLiteral("E&xit"));

    for (QPushButton* button : {cmdAdd, CmdAddFolder, cmdClear1, CmdConvert, CmdHelp, cmdEnd}) {
        button->setAutoDefault(false);
    }
}

void frmStep1::SetTabOrder() {
    // The order the window was designed with: list commands, the list, Convert,
    // Exit, Help, then the output options and the one-PST box.
    const QList<QWidget*> order = {cmdAdd,  cmdClear1,      CmdAddFolder,  grdFiles1, CmdConvert,
                                   cmdEnd,  CmdHelp,        OptMSG,        OptPST,    OptEML,
                                   OptEMLX, ChkAllinOnePST, ChkKeepFolders};
    for (qsizetype i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

}  // namespace mailvane
