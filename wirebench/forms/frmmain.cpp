// Main window of the workbench: construction, settings, shared socket operations and the logger.
#include "frmmain.h"

#include "forms/frmctviewwindow.h"
#include "forms/frmprocessing.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QMouseEvent>
#include <QUrl>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

#include <type_traits>

#include "frmlogwin.h"

namespace wirebench {

namespace {

template <typename W>
W* named(W* w, const char* name) {
    w->setObjectName(name);
    if constexpr (std::is_base_of_v<QWidget, W>) {
        w->setAccessibleName(name);
    }
    return w;
}

QLabel* caption(const QString& text, QWidget* buddy) {
    auto* l = new QLabel(text);
    l->setBuddy(buddy);
    return l;
}

// A progress bar made of a box and a bar whose width is set by hand.
QFrame* progressBox(const char* boxName, const char* barName, QFrame** bar) {
    auto* box = named(new QFrame, boxName);
    box->setFrameShape(QFrame::Box);
    box->setFixedSize(200, 14);
    *bar = named(new QFrame(box), barName);
    (*bar)->setStyleSheet("background-color: #2a7de1;");
    (*bar)->setGeometry(0, 0, 0, 14);
    return box;
}

}  // namespace

FrmMain::FrmMain(const FrmMainOptions& options, QWidget* parent)
    : QMainWindow(parent),
      pcReceive_(
          [this](std::string_view id) {
              const QString text =
                  QString::fromLatin1(id.data(), static_cast<qsizetype>(id.size()));
              for (int i = 0; i < messageTable_.size(); ++i) {
                  if (messageTable_[i].id == text) {
                      return i;
                  }
              }
              return -1;
          },
          [this](int row) {
              return row >= 0 && row < messageTable_.size()
                         ? messageTable_[row].command.toStdString()
                         : std::string();
          }) {
    setObjectName("frmMain");
    askYesNo = [this](const QString& title, const QString& text) {
        return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    exeName_ = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    if (exeName_.isEmpty()) {
        exeName_ = "Wirebench";
    }
    filesFolder_ = options.filesFolder;
    if (filesFolder_.isEmpty()) {
        const QString appDir = QCoreApplication::applicationDirPath();
        if (QFileInfo(appDir).isWritable()) {
            filesFolder_ = appDir;
        } else {
            filesFolder_ = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        }
    }
    QDir().mkpath(filesFolder_);
    settings_ = std::make_unique<SettingsStore>(exeName_);

    PCListener = new Winsock("PCListener", this);
    PCReceiver = new Winsock("PCReceiver", this);
    PCSender = new Winsock("PCSender", this);
    SensorListener = new Winsock("SensorListener", this);
    SensorReceiver = new Winsock("SensorReceiver", this);
    SensorSender = new Winsock("SensorSender", this);

    auto* central = new QWidget;
    auto* row = new QHBoxLayout(central);
    frmPC = named(new QGroupBox("PC Side"), "frmPC");
    frmSensor = named(new QGroupBox("Sensor Side"), "frmSensor");
    buildPcFrame(frmPC);
    buildSensorFrame(frmSensor);
    row->addWidget(frmPC, 1);
    row->addWidget(frmSensor, 1);
    setCentralWidget(central);
    buildMenus();
    // Room for both frames side by side with their lists and image boxes.
    resize(1180, 760);

    pollTick_ = new QTimer(this);
    pollTick_->setInterval(kPollIntervalMs);
    pollTick_->start();
    timListenerCheck = named(new QTimer(this), "timListenerCheck");
    timListenerCheck->setInterval(kListenerCheckIntervalMs);
    connect(timListenerCheck, &QTimer::timeout, this, &FrmMain::listenerCheckTick);
    timListenerCheck->start();

    // Start of the window.
    random_.seed(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()));
    setWindowTitle(QString("Wirebench V.%1.%2.%3")
                       .arg(WIREBENCH_VERSION_MAJOR)
                       .arg(WIREBENCH_VERSION_MINOR)
                       .arg(WIREBENCH_VERSION_REVISION));
    progressPC->resize(0, progressPC->height());
    progressSensor->resize(0, progressSensor->height());
    pcLogWin_ = new FrmLogWin("PC RECEIVE LOG", "frmLogWinPC");
    sensorLogWin_ = new FrmLogWin("SENSOR RECEIVE LOG", "frmLogWinSensor");
    lstPCMessageIDs->addItem("new");
    lstPCMessageIDs->setCurrentRow(0);
    loadSettings();
}

FrmMain::~FrmMain() {
    delete pcLogWin_;
    delete sensorLogWin_;
}

void FrmMain::buildPcFrame(QWidget* frame) {
    auto* g = new QGridLayout(frame);
    sPCLocalIP = named(new QLineEdit, "sPCLocalIP");
    sPCListenPort = named(new QLineEdit, "sPCListenPort");
    sPCListenPort->setMaximumWidth(70);
    cmdPCListen = named(new QPushButton("start Listen"), "cmdPCListen");
    g->addWidget(caption("local IP", sPCLocalIP), 0, 0);
    g->addWidget(sPCLocalIP, 0, 1);
    g->addWidget(sPCListenPort, 0, 2);
    g->addWidget(cmdPCListen, 0, 3);

    sPCReturnIP = named(new QLineEdit, "sPCReturnIP");
    sPCReturnPort = named(new QLineEdit, "sPCReturnPort");
    sPCReturnPort->setMaximumWidth(70);
    g->addWidget(caption("return IP", sPCReturnIP), 1, 0);
    g->addWidget(sPCReturnIP, 1, 1);
    g->addWidget(sPCReturnPort, 1, 2);

    sPCSensorIP = named(new QLineEdit, "sPCSensorIP");
    sPCSensorPort = named(new QLineEdit, "sPCSensorPort");
    sPCSensorPort->setMaximumWidth(70);
    cmdPCConnectToSensor = named(new QPushButton("Connect"), "cmdPCConnectToSensor");
    g->addWidget(caption("Sensor IP", sPCSensorIP), 2, 0);
    g->addWidget(sPCSensorIP, 2, 1);
    g->addWidget(sPCSensorPort, 2, 2);
    g->addWidget(cmdPCConnectToSensor, 2, 3);

    cmbPCCommand = named(new QComboBox, "cmbPCCommand");
    for (const char* name : kCommandNames) {
        cmbPCCommand->addItem(name);
    }
    cmbPCCommand->setCurrentIndex(-1);
    cmbParam = named(new QComboBox, "cmbParam");
    cmbParam->setEditable(true);
    for (const char* name : kParamNames) {
        cmbParam->addItem(name);
    }
    txtPCParamToSet = named(new QLineEdit, "txtPCParamToSet");
    g->addWidget(caption("Command", cmbPCCommand), 3, 0);
    g->addWidget(cmbPCCommand, 3, 1);
    auto* paramRow = new QHBoxLayout;
    paramRow->addWidget(caption("Param", cmbParam));
    paramRow->addWidget(cmbParam, 2);
    paramRow->addWidget(caption("Value", txtPCParamToSet));
    paramRow->addWidget(txtPCParamToSet, 1);
    g->addLayout(paramRow, 4, 0, 1, 4);

    chk16Bit = named(new QCheckBox("Get 16bit"), "chk16Bit");
    Frame1 = named(new QGroupBox("when complete"), "Frame1");
    optNone = named(new QRadioButton("None"), "optNone");
    optClose = named(new QRadioButton("Close"), "optClose");
    optACK = named(new QRadioButton("ACK"), "optACK");
    optNone->setChecked(true);
    auto* f1 = new QHBoxLayout(Frame1);
    f1->addWidget(optNone);
    f1->addWidget(optClose);
    f1->addWidget(optACK);
    cmdBreak = named(new QPushButton("break"), "cmdBreak");
    g->addWidget(chk16Bit, 5, 0);
    g->addWidget(Frame1, 5, 1, 1, 2);
    g->addWidget(cmdBreak, 5, 3);

    txtIPTimeout = named(new QLineEdit, "txtIPTimeout");
    txtSensorTimeout = named(new QLineEdit, "txtSensorTimeout");
    auto* timeouts = new QHBoxLayout;
    timeouts->addWidget(caption("IP timeout:", txtIPTimeout));
    timeouts->addWidget(txtIPTimeout);
    timeouts->addWidget(caption("Sensor timeout:", txtSensorTimeout));
    timeouts->addWidget(txtSensorTimeout);
    g->addLayout(timeouts, 6, 0, 1, 4);

    chkPCLogDetail = named(new QCheckBox("log details"), "chkPCLogDetail");
    chkLogTcp = named(new QCheckBox("Log Tcp to *.TCP"), "chkLogTcp");
    chkLogImageToFile = named(new QCheckBox("Log Binary to *.IMG"), "chkLogImageToFile");
    chkBigEndian = named(new QCheckBox("BigEndian"), "chkBigEndian");
    auto* checks = new QGridLayout;
    checks->addWidget(chkPCLogDetail, 0, 0);
    checks->addWidget(chkLogTcp, 0, 1);
    checks->addWidget(chkBigEndian, 1, 0);
    checks->addWidget(chkLogImageToFile, 1, 1);
    g->addLayout(checks, 7, 0, 1, 4);

    lstPCMessageIDs = named(new QListWidget, "lstPCMessageIDs");
    lstPCMessageIDs->setMaximumWidth(190);
    lstPCMessageIDs->setContextMenuPolicy(Qt::CustomContextMenu);
    lstPCInfo = named(new QListWidget, "lstPCInfo");
    lstPCInfo->setContextMenuPolicy(Qt::CustomContextMenu);
    auto* lists = new QHBoxLayout;
    auto* idCol = new QVBoxLayout;
    idCol->addWidget(caption("MsgIDs", lstPCMessageIDs));
    idCol->addWidget(lstPCMessageIDs);
    lists->addLayout(idCol);
    lists->addWidget(lstPCInfo, 1);
    g->addLayout(lists, 8, 0, 1, 4);
    g->setRowStretch(8, 1);

    lblPCReceive = named(new QLabel, "lblPCReceive");
    auto* prog = new QHBoxLayout;
    prog->addWidget(new QLabel("Progress"));
    prog->addWidget(progressBox("progressPCBox", "progressPC", &progressPC));
    progressPCBox = qobject_cast<QFrame*>(progressPC->parentWidget());
    prog->addWidget(lblPCReceive, 1);
    g->addLayout(prog, 9, 0, 1, 4);

    PCImg = new ImageBox("PCImg");
    PCImg->setMinimumHeight(160);
    cmdPCImgClear = named(new QPushButton("clear Image"), "cmdPCImgClear");
    g->addWidget(PCImg, 10, 0, 1, 3);
    g->addWidget(cmdPCImgClear, 10, 3, Qt::AlignTop);
    g->setRowStretch(10, 1);

    connect(cmdPCListen, &QPushButton::clicked, this, &FrmMain::pcListenClicked);
    connect(cmdPCConnectToSensor, &QPushButton::clicked, this, &FrmMain::pcConnectToggle);
    connect(cmbPCCommand, &QComboBox::activated, this, &FrmMain::pcCommandChosen);
    connect(cmdBreak, &QPushButton::clicked, this, &FrmMain::pcBreak);
    connect(lstPCMessageIDs, &QWidget::customContextMenuRequested, this,
            &FrmMain::pcMessageIdsReset);
    connect(cmdPCImgClear, &QPushButton::clicked, PCImg, &ImageBox::freeBitmap);
    connect(chkBigEndian, &QCheckBox::clicked, this, &FrmMain::pcBigEndianClicked);
    connect(txtIPTimeout, &QLineEdit::textChanged, this, [this](const QString& t) {
        bool ok = false;
        const float v = t.trimmed().toFloat(&ok);
        if (ok && v >= 0) {
            ipTimeout_ = v;
        }
    });
    connect(txtSensorTimeout, &QLineEdit::textChanged, this, [this](const QString& t) {
        bool ok = false;
        const float v = t.trimmed().toFloat(&ok);
        if (ok && v >= 0) {
            sensorTimeout_ = v;
        }
    });
    connect(PCListener, &Winsock::connectionRequest, this, &FrmMain::pcConnectionRequest);
    connect(PCReceiver, &Winsock::dataArrival, this, &FrmMain::pcDataArrival);
    connect(PCReceiver, &Winsock::closed, this, &FrmMain::pcReceiverClosed);
    connect(PCSender, &Winsock::connected, this, [this] {
        if (PCSender->state() != Winsock::sckConnected &&
            !waitForSocketState(PCSender, Winsock::sckConnected)) {
            pcLog("WARNING: PCSender does not connect correct");
        } else {
            cmdPCConnectToSensor->setText("Disconnect");
        }
    });
    connect(PCSender, &Winsock::closed, this, [this] {
        if (PCSender->state() != Winsock::sckClosed) {
            PCSender->close();
            if (!waitForSocketState(PCSender, Winsock::sckClosed)) {
                pcLog("WARNING: PCSender does not close correct");
                return;
            }
        }
        cmdPCConnectToSensor->setText("Connect");
    });
    connect(PCSender, &Winsock::sendComplete, this, [this] { pcSendComplete_ = true; });
    connect(PCSender, &Winsock::error, this, [this](int n, const QString& d) {
        logSocketError(lstPCInfo, "IPERROR (PCSender): ", n, d);
        pcSendComplete_ = true;
        PCSender->close();
    });
    connect(PCReceiver, &Winsock::error, this, [this](int n, const QString& d) {
        logSocketError(lstPCInfo, "IPERROR (PCReceiver): ", n, d);
    });
    connect(PCListener, &Winsock::error, this, [this](int n, const QString& d) {
        logSocketError(lstPCInfo, "IPERROR (PCListener): ", n, d);
    });

    for (QWidget* w : {static_cast<QWidget*>(sPCLocalIP), static_cast<QWidget*>(sPCReturnIP),
                       static_cast<QWidget*>(sPCSensorIP), static_cast<QWidget*>(lstPCInfo),
                       static_cast<QWidget*>(PCImg)}) {
        w->installEventFilter(this);
    }
    connect(lstPCInfo, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { mnuPCLog->popup(lstPCInfo->mapToGlobal(p)); });
    connect(lstPCInfo, &QListWidget::itemDoubleClicked, this,
            [this] { showLogWindow(pcLogWin_, false); });
}

void FrmMain::buildSensorFrame(QWidget* frame) {
    auto* g = new QGridLayout(frame);
    sSensorLocalIP = named(new QLineEdit, "sSensorLocalIP");
    sSensorListenPort = named(new QLineEdit, "sSensorListenPort");
    sSensorListenPort->setMaximumWidth(70);
    cmdSensorListen = named(new QPushButton("start Listen"), "cmdSensorListen");
    g->addWidget(caption("local IP", sSensorLocalIP), 0, 0);
    g->addWidget(sSensorLocalIP, 0, 1);
    g->addWidget(sSensorListenPort, 0, 2);
    g->addWidget(cmdSensorListen, 0, 3);

    cmbSensorState = named(new QComboBox, "cmbSensorState");
    cmbSensorState->addItems({"IDLE", "WAITXRAY", "PROCESSING", "IMGRDY", "NOTRDY"});
    cmbSensorError = named(new QComboBox, "cmbSensorError");
    for (int i = 0; i <= 10; ++i) {
        cmbSensorError->addItem(QString::number(i));
    }
    cmbSensorSensor = named(new QComboBox, "cmbSensorSensor");
    cmbSensorSensor->addItems({"0", "1", "2"});
    auto* states = new QHBoxLayout;
    states->addWidget(caption("State", cmbSensorState));
    states->addWidget(cmbSensorState, 2);
    states->addWidget(caption("Error", cmbSensorError));
    states->addWidget(cmbSensorError, 1);
    states->addWidget(caption("Sensor", cmbSensorSensor));
    states->addWidget(cmbSensorSensor, 1);
    g->addLayout(states, 1, 0, 1, 4);

    chkGrayBits = new QButtonGroup(this);
    chkGrayBits->setObjectName("chkGrayBits");
    chkGrayBits0 = named(new QRadioButton("8bit gray"), "chkGrayBits0");
    chkGrayBits1 = named(new QRadioButton("16bit gray"), "chkGrayBits1");
    chkGrayBits->addButton(chkGrayBits0, 0);
    chkGrayBits->addButton(chkGrayBits1, 1);
    chkGrayBits0->setChecked(true);
    chkSendAligned = named(new QCheckBox("send DWord aligned"), "chkSendAligned");
    chkSendAligned->setChecked(true);
    chkSensorLogDetail = named(new QCheckBox("log detail messages"), "chkSensorLogDetail");
    auto* opts = new QHBoxLayout;
    opts->addWidget(chkGrayBits0);
    opts->addWidget(chkGrayBits1);
    opts->addWidget(chkSendAligned);
    opts->addStretch(1);
    g->addLayout(opts, 2, 0, 1, 4);
    g->addWidget(chkSensorLogDetail, 3, 0, 1, 4);

    lstSensorInfo = named(new QListWidget, "lstSensorInfo");
    lstSensorInfo->setContextMenuPolicy(Qt::CustomContextMenu);
    g->addWidget(lstSensorInfo, 4, 0, 1, 4);
    g->setRowStretch(4, 1);

    lblSensorSend = named(new QLabel, "lblSensorSend");
    auto* prog = new QHBoxLayout;
    prog->addWidget(new QLabel("Progress"));
    prog->addWidget(progressBox("progressSensorBox", "progressSensor", &progressSensor));
    progressSensorBox = qobject_cast<QFrame*>(progressSensor->parentWidget());
    prog->addWidget(lblSensorSend, 1);
    g->addLayout(prog, 5, 0, 1, 4);

    SensorImgLabel = named(new QLabel("please drop image here:"), "SensorImgLabel");
    SensorImgLabel->setProperty("tag", QString("please drop image here:"));
    SensorImgLabel->setAcceptDrops(true);
    SensorImgLabel->installEventFilter(this);
    SensorImg = new ImageBox("SensorImg");
    SensorImg->setMinimumHeight(160);
    SensorImg->setAcceptDrops(true);
    SensorImg->installEventFilter(this);
    cmdSensorImgClear = named(new QPushButton("clear Image"), "cmdSensorImgClear");
    g->addWidget(SensorImgLabel, 6, 0, 1, 4);
    g->addWidget(SensorImg, 7, 0, 1, 3);
    g->addWidget(cmdSensorImgClear, 7, 3, Qt::AlignTop);
    g->setRowStretch(7, 1);

    connect(cmdSensorListen, &QPushButton::clicked, this, &FrmMain::sensorListenClicked);
    connect(cmdSensorImgClear, &QPushButton::clicked, this, [this] {
        SensorImg->freeBitmap();
        cmbSensorState->setCurrentIndex(kStateIdle);
    });
    connect(chkGrayBits, &QButtonGroup::idClicked, this, &FrmMain::grayBitsChanged);
    connect(SensorListener, &Winsock::connectionRequest, this, &FrmMain::sensorConnectionRequest);
    connect(SensorReceiver, &Winsock::dataArrival, this, &FrmMain::sensorDataArrival);
    connect(SensorReceiver, &Winsock::closed, this, &FrmMain::serveRequest);
    connect(SensorSender, &Winsock::dataArrival, this, &FrmMain::sensorSenderData);
    connect(SensorSender, &Winsock::sendProgress, this,
            [this](qint64 sent, qint64) { sensorSendProgress(sent); });
    connect(SensorSender, &Winsock::sendComplete, this, [this] { sensorSendComplete_ = true; });
    connect(SensorSender, &Winsock::closed, this, &FrmMain::sensorSenderClosed);
    connect(SensorSender, &Winsock::error, this, [this](int n, const QString& d) {
        logSocketError(lstSensorInfo, "IPERROR: ", n, d);
        sensorSendComplete_ = true;
        SensorSender->close();
    });
    connect(SensorReceiver, &Winsock::error, this,
            [this](int n, const QString& d) { logSocketError(lstSensorInfo, "IPERROR: ", n, d); });
    connect(SensorListener, &Winsock::error, this, [this](int n, const QString& d) {
        logSocketError(lstSensorInfo, "IPERROR (SensorListene): ", n, d);
    });
    sSensorLocalIP->installEventFilter(this);
    lstSensorInfo->installEventFilter(this);
    connect(lstSensorInfo, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { mnuSensorLog->popup(lstSensorInfo->mapToGlobal(p)); });
    connect(lstSensorInfo, &QListWidget::itemDoubleClicked, this,
            [this] { showLogWindow(sensorLogWin_, true); });
}

void FrmMain::buildMenus() {
    mnuPCLog = named(new QMenu("PCLog", this), "mnuPCLog");
    mnuPCLogClear = mnuPCLog->addAction("Clear");
    mnuPCLogClear->setObjectName("mnuPCLogClear");
    mnuPCLogLarge = mnuPCLog->addAction("Show large");
    mnuPCLogLarge->setObjectName("mnuPCLogLarge");
    connect(mnuPCLogClear, &QAction::triggered, lstPCInfo, &QListWidget::clear);
    connect(mnuPCLogLarge, &QAction::triggered, this, [this] { showLogWindow(pcLogWin_, false); });

    mnuSensorLog = named(new QMenu("SensorLog", this), "mnuSensorLog");
    mnuSensorLogClear = mnuSensorLog->addAction("Clear");
    mnuSensorLogClear->setObjectName("mnuSensorLogClear");
    mnuSensorLogLarge = mnuSensorLog->addAction("Show large");
    mnuSensorLogLarge->setObjectName("mnuSensorLogLarge");
    connect(mnuSensorLogClear, &QAction::triggered, lstSensorInfo, &QListWidget::clear);
    connect(mnuSensorLogLarge, &QAction::triggered, this,
            [this] { showLogWindow(sensorLogWin_, true); });

    mnuImg = named(new QMenu("Img", this), "mnuImg");
    mnuImgSave = mnuImg->addAction("Save as...");
    mnuImgSave->setObjectName("mnuImgSave");
    mnuImgProcess = mnuImg->addAction("Process");
    mnuImgProcess->setObjectName("mnuImgProcess");
    auto taggedBox = [this] {
        return mnuImg->property("tag").toString() == "SensorImg" ? SensorImg : PCImg;
    };
    connect(mnuImgSave, &QAction::triggered, this, [this, taggedBox] { saveImageAs(taggedBox()); });
    connect(mnuImgProcess, &QAction::triggered, this,
            [this, taggedBox] { openProcessing(taggedBox()); });
}

bool FrmMain::saveImageAs(ImageBox* box) {
    if (!box || box->bitmap().isNull()) {
        return false;
    }
    // Nine formats; PNG, TIFF and PGM keep 16-bit grey pixels, BMP uses the workbench's own
    // 16-bit grey layout, the others take 8 bits.
    static const char* const kFilters =
        "Windows BMP (*.bmp);;PNG (*.png);;TIFF (*.tif);;JPEG (*.jpg);;PGM (*.pgm);;"
        "PPM (*.ppm);;WebP (*.webp);;XPM (*.xpm);;XBM (*.xbm)";
    static const char* const kFormats[] = {"BMP", "PNG",  "TIFF", "JPG", "PGM",
                                           "PPM", "WEBP", "XPM",  "XBM"};
    static const char* const kSuffixes[] = {"bmp", "png",  "tif", "jpg", "pgm",
                                            "ppm", "webp", "xpm", "xbm"};
    QFileDialog dlg(this, "Save as...", filesFolder_, kFilters);
    dlg.setObjectName("LEADDlg1");
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.selectFile(exeName_);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) {
        return false;
    }
    const QStringList filters = QString(kFilters).split(";;");
    const int at = std::max<int>(0, static_cast<int>(filters.indexOf(dlg.selectedNameFilter())));
    QString path = dlg.selectedFiles().first();
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QString(".") + kSuffixes[at];
    }
    if (!box->bitmap().saveFile(path, kFormats[at])) {
        QMessageBox::warning(this, "Save as...", QString("Could not write %1").arg(path));
        return false;
    }
    return true;
}

FrmProcessing* FrmMain::processingWindow() const {
    return processing_;
}

FrmProcessing* FrmMain::openProcessing(ImageBox* box) {
    if (!box || box->bitmap().isNull()) {
        return nullptr;
    }
    auto* w = new FrmProcessing(box, this);
    w->setWindowFlag(Qt::Window);
    w->show();
    processing_ = w;
    return w;
}

void FrmMain::openViewWindow(ImageBox* box) {
    if (!box || box->bitmap().isNull()) {
        return;
    }
    FrmCTViewWindow view(box, this);
    view.fitScreen();
    view.exec();
}

void FrmMain::loadSettings() {
    const QString localIp = Winsock::localIP();
    txtIPTimeout->setText(settings_->get("FORM", "IPTimeout", "5"));
    txtSensorTimeout->setText(settings_->get("FORM", "SensorTimeout", "25"));
    sPCLocalIP->setText(settings_->get("PC", "LocalIP", "localhost"));
    sPCReturnIP->setText(settings_->get("PC", "ReturnIP", sPCLocalIP->text()));
    sPCListenPort->setText(settings_->get("PC", "ListenPort", "1000"));
    sPCReturnPort->setText(settings_->get("PC", "ReturnPort", sPCListenPort->text()));
    sPCSensorIP->setText(settings_->get("PC", "SensorIP", "localhost"));
    sPCSensorPort->setText(settings_->get("PC", "SensorPort", "104"));
    auto flag = [](const QString& v) {
        return v.compare("true", Qt::CaseInsensitive) == 0 || v.toInt() != 0;
    };
    chkPCLogDetail->setChecked(flag(settings_->get("PC", "LogDetail", "0")));
    chkLogTcp->setChecked(flag(settings_->get("PC", "LogTCPData", "0")));
    chkLogImageToFile->setChecked(flag(settings_->get("PC", "LogImage", "0")));
    sSensorLocalIP->setText(settings_->get("Sensor", "LocalIP", localIp));
    sSensorListenPort->setText(settings_->get("Sensor", "ListenPort", "104"));
    chkSensorLogDetail->setChecked(flag(settings_->get("Sensor", "LogDetail", "0")));
    auto index = [](const QString& v, int count) {
        const int i = v.toInt();
        return i >= 0 && i < count ? i : 0;
    };
    cmbSensorState->setCurrentIndex(index(settings_->get("Sensor", "State", "0"), 5));
    cmbSensorError->setCurrentIndex(index(settings_->get("Sensor", "Error", "0"), 11));
    cmbSensorSensor->setCurrentIndex(index(settings_->get("Sensor", "SensorType", "0"), 3));
    chkGrayBits0->setChecked(flag(settings_->get("Sensor", "Send8Bit", "True")));
    chkGrayBits1->setChecked(flag(settings_->get("Sensor", "Send16Bit", "False")));
    if (flag(settings_->get("PC", "Listen", "True"))) {
        pcListenClicked();
    }
    if (flag(settings_->get("Sensor", "Listen", "True"))) {
        sensorListenClicked();
    }
    const struct {
        const char* section;
        FrmLogWin* win;
        bool sensor;
    } wins[] = {{"PC", pcLogWin_, false}, {"Sensor", sensorLogWin_, true}};
    for (const auto& w : wins) {
        if (!flag(settings_->get(w.section, "LogWin", "False"))) {
            continue;
        }
        showLogWindow(w.win, w.sensor);
        const QStringList parts = settings_->get(w.section, "LogWinDim", "").split(QChar(0));
        // Only a complete set of four numbers places the window.
        if (parts.size() >= 4) {
            bool ok[4];
            const int left = parts[0].toInt(&ok[0]);
            const int top = parts[1].toInt(&ok[1]);
            const int width = parts[2].toInt(&ok[2]);
            const int height = parts[3].toInt(&ok[3]);
            if (ok[0] && ok[1] && ok[2] && ok[3] && width > 0 && height > 0) {
                w.win->setGeometry(left, top, width, height);
            }
        }
    }
}

void FrmMain::saveSettings() {
    auto b = [](bool v) { return v ? QString("True") : QString("False"); };
    auto n = [](bool v) { return v ? QString("1") : QString("0"); };
    settings_->save("FORM", "IPTimeout", QString::number(ipTimeout_));
    settings_->save("FORM", "SensorTimeout", QString::number(sensorTimeout_));
    settings_->save("PC", "LocalIP", sPCLocalIP->text());
    settings_->save("PC", "ReturnIP", sPCReturnIP->text());
    settings_->save("PC", "ListenPort", sPCListenPort->text());
    settings_->save("PC", "ReturnPort", sPCReturnPort->text());
    settings_->save("PC", "SensorIP", sPCSensorIP->text());
    settings_->save("PC", "SensorPort", sPCSensorPort->text());
    settings_->save("PC", "LogDetail", n(chkPCLogDetail->isChecked()));
    settings_->save("PC", "LogTCPData", n(chkLogTcp->isChecked()));
    settings_->save("PC", "LogImage", n(chkLogImageToFile->isChecked()));
    settings_->save("PC", "Listen", b(PCListener->state() == Winsock::sckListening));
    settings_->save("Sensor", "LocalIP", sSensorLocalIP->text());
    settings_->save("Sensor", "ListenPort", sSensorListenPort->text());
    settings_->save("Sensor", "LogDetail", n(chkSensorLogDetail->isChecked()));
    settings_->save("Sensor", "State", QString::number(cmbSensorState->currentIndex()));
    settings_->save("Sensor", "Error", QString::number(cmbSensorError->currentIndex()));
    settings_->save("Sensor", "SensorType", QString::number(cmbSensorSensor->currentIndex()));
    settings_->save("Sensor", "Send8Bit", b(chkGrayBits0->isChecked()));
    settings_->save("Sensor", "Send16Bit", b(chkGrayBits1->isChecked()));
    settings_->save("Sensor", "Listen", b(SensorListener->state() == Winsock::sckListening));
    for (auto [section, win] :
         {std::pair<const char*, FrmLogWin*>{"PC", pcLogWin_}, {"Sensor", sensorLogWin_}}) {
        settings_->save(section, "LogWin", b(win->isVisible()));
        const QRect r = win->geometry();
        settings_->save(section, "LogWinDim",
                        QStringList{QString::number(r.left()), QString::number(r.top()),
                                    QString::number(r.width()), QString::number(r.height())}
                            .join(QChar(0)));
    }
    settings_->sync();
}

void FrmMain::closeEvent(QCloseEvent* event) {
    saveSettings();
    // The log windows' close box only hides them; leaving the program closes them for good.
    pcLogWin_->unload();
    sensorLogWin_->unload();
    event->accept();
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        auto* box = qobject_cast<QLineEdit*>(watched);
        if (box && box->text().isEmpty()) {
            box->setText(Winsock::localIP());
        }
    }
    if ((watched == PCImg || watched == SensorImg) && event->type() == QEvent::MouseButtonPress) {
        auto* me = static_cast<QMouseEvent*>(event);
        auto* box = static_cast<ImageBox*>(watched);
        if (me->button() == Qt::RightButton && !box->bitmap().isNull()) {
            mnuImg->setProperty("tag", box->objectName());
            mnuImg->popup(me->globalPosition().toPoint());
            return true;
        }
    }
    if ((watched == PCImg || watched == SensorImg) &&
        event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        openViewWindow(static_cast<ImageBox*>(watched));
        return true;
    }
    if (watched == SensorImgLabel || watched == SensorImg) {
        if (event->type() == QEvent::DragEnter) {
            auto* de = static_cast<QDragEnterEvent*>(event);
            if (de->mimeData()->hasUrls()) {
                de->acceptProposedAction();
            }
            return true;
        }
        if (event->type() == QEvent::Drop) {
            auto* de = static_cast<QDropEvent*>(event);
            const auto urls = de->mimeData()->urls();
            if (!urls.isEmpty() && urls.first().isLocalFile()) {
                de->acceptProposedAction();
                dropImageFile(urls.first().toLocalFile());
            }
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void FrmMain::doEvents() {
    // The poll tick guarantees a wake-up, so waiting for events never outlasts a deadline by much.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, kPollIntervalMs);
}

void FrmMain::addLogLine(QListWidget* list, const QString& text) {
    const float seconds = static_cast<float>(QTime::currentTime().msecsSinceStartOfDay()) / 1000.0f;
    const QString line = QString::number(seconds, 'g', 7) + ": " + text;
    list->addItem(line);
    list->setCurrentRow(list->count() - 1);
    if (list == lstPCInfo) {
        pcLogWin_->addLine(line);
    } else if (list == lstSensorInfo) {
        sensorLogWin_->addLine(line);
    }
}

void FrmMain::logSocketError(QListWidget* list, const QString& prefix, int number,
                             const QString& description) {
    // Number, description, status code, source, help file, help context, cancel display.
    addLogLine(list, prefix + QStringList{QString::number(number), description,
                                          QString::number(number), "Winsock", "", "0", "False"}
                                  .join(", "));
}

void FrmMain::showLogWindow(FrmLogWin* win, bool sensor) {
    const QRect main = frameGeometry();
    const int top = sensor ? main.top() + frmSensor->mapTo(this, QPoint(0, 0)).y() : main.top();
    win->move(main.left() + main.width(), top);
    win->show();
}

QString FrmMain::filePath(const QString& name) const {
    return QDir(filesFolder_).filePath(name);
}

bool FrmMain::writeWholeFile(const QString& path, const QByteArray& bytes, QListWidget* log) {
    QFile::remove(path);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        addLogLine(log, "ERROR: could not write " + path + " (" + f.errorString() + ")");
        return false;
    }
    return true;
}

bool FrmMain::waitForSocketState(Winsock* socket, int wanted) {
    QElapsedTimer clock;
    clock.start();
    const auto limitMs = static_cast<qint64>(ipTimeout_ * 1000.0f);
    while (socket->state() != wanted && clock.elapsed() < limitMs) {
        doEvents();
    }
    return socket->state() == wanted;
}

bool FrmMain::startListening(Winsock* socket, const QString& address, int port) {
    if (socket->state() == Winsock::sckListening) {
        return true;
    }
    if (socket->state() != Winsock::sckClosed) {
        socket->close();
        if (!waitForSocketState(socket, Winsock::sckClosed)) {
            return false;
        }
    }
    if (!socket->bind(port, address)) {
        return false;
    }
    if (!socket->listen()) {
        return false;
    }
    return waitForSocketState(socket, Winsock::sckListening);
}

bool FrmMain::connectSocket(Winsock* socket, const QString& host, int port) {
    if (socket->state() == Winsock::sckConnected) {
        return true;
    }
    if (socket->state() >= 1) {
        socket->close();
        if (!waitForSocketState(socket, Winsock::sckClosed)) {
            return false;
        }
    }
    if (port < kLowestPort || port > kHighestPort) {
        return false;
    }
    socket->connectTo(host, port);
    return waitForSocketState(socket, Winsock::sckConnected);
}

}  // namespace wirebench
