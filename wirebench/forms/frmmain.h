// Main window of the workbench: the PC side and the sensor side of the wire, logs and files.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QPointer>
#include <QRandomGenerator>
#include <functional>
#include <memory>

#include "components/leadimage.h"
#include "components/settingsstore.h"
#include "components/winsock.h"
#include "core/reply_receiver.h"
#include "core/request_parser.h"
#include "core/wire.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QAction;
class QPushButton;
class QRadioButton;
class QTimer;

namespace wirebench {

class FrmLogWin;
class FrmProcessing;
class FrmCTViewWindow;

// Seconds the sensor side waits for an image after CAPTURE.
constexpr int kCaptureWaitSeconds = 15;
// Interval of the caption check of the listeners and the request connection.
constexpr int kListenerCheckIntervalMs = 1000;
// Longest pause of a polling wait between two looks at its condition.
constexpr int kPollIntervalMs = 10;

struct FrmMainOptions {
    // Folder of the traffic and image files; empty: the program's folder when writable, else the
    // per-user data folder.
    QString filesFolder;
};

class FrmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit FrmMain(const FrmMainOptions& options = {}, QWidget* parent = nullptr);
    ~FrmMain() override;

    struct MessageRow {
        QString id;
        QString command;
        QString answered;  // "1" while awaited, "0" once answered
    };
    const QVector<MessageRow>& messageTable() const { return messageTable_; }
    const StatusReply& statusReply() const { return statusReply_; }
    const ParamReply& paramReply() const { return paramReply_; }
    QString filesFolder() const { return filesFolder_; }
    float ipTimeout() const { return ipTimeout_; }
    float sensorTimeout() const { return sensorTimeout_; }
    FrmLogWin* pcLogWindow() const { return pcLogWin_; }
    FrmLogWin* sensorLogWindow() const { return sensorLogWin_; }
    // Loads an image file as if it had been dropped on the sensor side.
    void dropImageFile(const QString& path);
    // Yes/No questions; replaceable so a test can answer them.
    std::function<bool(const QString& title, const QString& text)> askYesNo;
    // Image windows on the box's image: processing (not modal) and the modal view window.
    FrmProcessing* openProcessing(ImageBox* box);
    void openViewWindow(ImageBox* box);
    // The processing window "Process" opened last, while it is open.
    FrmProcessing* processingWindow() const;
    // Saves the box's image through the save dialog; false on cancel or failure.
    bool saveImageAs(ImageBox* box);

    // Shared operations of both sides.
    void addLogLine(QListWidget* list, const QString& text);
    bool startListening(Winsock* socket, const QString& address, int port);
    bool connectSocket(Winsock* socket, const QString& host, int port);
    bool waitForSocketState(Winsock* socket, int wanted);
    int sendCommand(int row, int command);
    bool waitForAnswer(int row);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildPcFrame(QWidget* frame);
    void buildSensorFrame(QWidget* frame);
    void buildMenus();
    void loadSettings();
    void saveSettings();
    void doEvents();
    void showLogWindow(FrmLogWin* win, bool sensor);
    QString filePath(const QString& name) const;
    bool writeWholeFile(const QString& path, const QByteArray& bytes, QListWidget* log);
    void logSocketError(QListWidget* list, const QString& prefix, int number,
                        const QString& description);

    // PC side.
    void pcListenClicked();
    void pcConnectToggle();
    void pcCommandChosen(int command);
    void pcBreak();
    void pcMessageIdsReset();
    void pcConnectionRequest(qintptr requestId);
    void pcDataArrival(qint64 bytes);
    void pcReceiverClosed();
    void pcCompletion();
    void pcAcceptImage(const QByteArray& body);
    void pcBigEndianClicked();
    void pcOpenTrafficLog();
    void pcWriteTrafficLog(const QByteArray& bytes);
    void pcCloseTrafficLog();
    void pcSetProgress(qint64 done, qint64 total);
    void listenerCheckTick();
    void pcLog(const QString& text) { addLogLine(lstPCInfo, text); }
    void pcDetail(const QString& text);

    // Sensor side.
    void sensorListenClicked();
    void sensorConnectionRequest(qintptr requestId);
    void sensorDataArrival(qint64 bytes);
    void serveRequest();
    void sendReply(int command, bool withImage, const RequestFields& request);
    void applyMode(const QString& mode);
    void grayBitsChanged(int index);
    QByteArray imageBody();
    void sensorSenderData(qint64 bytes);
    void sensorSendProgress(qint64 bytes);
    void sensorSenderClosed();
    void sensorLog(const QString& text) { addLogLine(lstSensorInfo, text); }
    void sensorDetail(const QString& text);
    bool waitSensorSendComplete();

public:
    // PC frame controls.
    QGroupBox* frmPC = nullptr;
    QLineEdit* sPCLocalIP = nullptr;
    QLineEdit* sPCListenPort = nullptr;
    QPushButton* cmdPCListen = nullptr;
    QLineEdit* sPCReturnIP = nullptr;
    QLineEdit* sPCReturnPort = nullptr;
    QLineEdit* sPCSensorIP = nullptr;
    QLineEdit* sPCSensorPort = nullptr;
    QPushButton* cmdPCConnectToSensor = nullptr;
    QComboBox* cmbPCCommand = nullptr;
    QComboBox* cmbParam = nullptr;
    QLineEdit* txtPCParamToSet = nullptr;
    QCheckBox* chk16Bit = nullptr;
    QGroupBox* Frame1 = nullptr;
    QRadioButton* optNone = nullptr;
    QRadioButton* optClose = nullptr;
    QRadioButton* optACK = nullptr;
    QPushButton* cmdBreak = nullptr;
    QListWidget* lstPCMessageIDs = nullptr;
    QListWidget* lstPCInfo = nullptr;
    QCheckBox* chkPCLogDetail = nullptr;
    QCheckBox* chkLogTcp = nullptr;
    QCheckBox* chkLogImageToFile = nullptr;
    QCheckBox* chkBigEndian = nullptr;
    ImageBox* PCImg = nullptr;
    QPushButton* cmdPCImgClear = nullptr;
    QFrame* progressPCBox = nullptr;
    QFrame* progressPC = nullptr;
    QLabel* lblPCReceive = nullptr;
    Winsock* PCListener = nullptr;
    Winsock* PCReceiver = nullptr;
    Winsock* PCSender = nullptr;
    QTimer* timListenerCheck = nullptr;
    QLineEdit* txtIPTimeout = nullptr;
    QLineEdit* txtSensorTimeout = nullptr;

    // Sensor frame controls.
    QGroupBox* frmSensor = nullptr;
    QLineEdit* sSensorLocalIP = nullptr;
    QLineEdit* sSensorListenPort = nullptr;
    QPushButton* cmdSensorListen = nullptr;
    QComboBox* cmbSensorState = nullptr;
    QComboBox* cmbSensorError = nullptr;
    QComboBox* cmbSensorSensor = nullptr;
    QButtonGroup* chkGrayBits = nullptr;
    QRadioButton* chkGrayBits0 = nullptr;
    QRadioButton* chkGrayBits1 = nullptr;
    QCheckBox* chkSendAligned = nullptr;
    ImageBox* SensorImg = nullptr;
    QLabel* SensorImgLabel = nullptr;
    QPushButton* cmdSensorImgClear = nullptr;
    QListWidget* lstSensorInfo = nullptr;
    QCheckBox* chkSensorLogDetail = nullptr;
    QFrame* progressSensorBox = nullptr;
    QFrame* progressSensor = nullptr;
    QLabel* lblSensorSend = nullptr;
    Winsock* SensorListener = nullptr;
    Winsock* SensorReceiver = nullptr;
    Winsock* SensorSender = nullptr;

    // Pop-up menus.
    QMenu* mnuPCLog = nullptr;
    QAction* mnuPCLogClear = nullptr;
    QAction* mnuPCLogLarge = nullptr;
    QMenu* mnuSensorLog = nullptr;
    QAction* mnuSensorLogClear = nullptr;
    QAction* mnuSensorLogLarge = nullptr;
    QMenu* mnuImg = nullptr;
    QAction* mnuImgSave = nullptr;
    QAction* mnuImgProcess = nullptr;

private:
    QString exeName_;
    QString filesFolder_;
    std::unique_ptr<SettingsStore> settings_;
    FrmLogWin* pcLogWin_ = nullptr;
    FrmLogWin* sensorLogWin_ = nullptr;
    QPointer<FrmProcessing> processing_;
    QTimer* pollTick_ = nullptr;
    QRandomGenerator random_;
    float ipTimeout_ = 5;
    float sensorTimeout_ = 25;

    QVector<MessageRow> messageTable_;
    ReplyReceiver pcReceive_;
    bool pcBusy_ = false;
    bool pcNewConnection_ = false;
    bool pcReplyDone_ = true;  // completion already ran for the current reply connection
    std::unique_ptr<QFile> tcpLog_;
    bool pcSendComplete_ = false;
    int holdGeneration_ = 0;
    bool holdActive_ = false;
    StatusReply statusReply_;
    ParamReply paramReply_;
    int seenPCListener_ = -1;
    int seenSensorListener_ = -1;
    int seenPCSender_ = -1;

    RequestParser sensorParser_;
    bool sensorNewConnection_ = false;
    bool sensorBusy_ = false;
    qint64 sensorSent_ = 0;
    qint64 sensorTotal_ = 0;
    bool sensorSendComplete_ = false;
    bool captureWaiting_ = false;
};

}  // namespace wirebench
