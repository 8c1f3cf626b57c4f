// The workbench window driven by its controls under the offscreen platform: both sides against
// each other, raw peers on loopback for exact bytes and broken replies, files, log windows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QScrollBar>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "core/bmp.h"
#include "forms/frmctviewwindow.h"
#include "forms/frmlogwin.h"
#include "forms/frmmain.h"
#include "forms/frmprocessing.h"
#include "gui_helpers.h"
#include "unitsim/virtual_unit.h"

QT_BEGIN_NAMESPACE
// Readable strings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace wirebench {
namespace {

// Every wait of a test is bounded by this.
constexpr int kTestWaitMs = 15000;

void waitUntil(const std::function<bool()>& done, const char* what, int limitMs = kTestWaitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_TRUE(done()) << "timed out waiting for: " << what;
}

QStringList lines(QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) {
        // Drop the time stamp "12345.6: ".
        out << list->item(i)->text().section(": ", 1);
    }
    return out;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class Workbench : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(settingsDir.isValid() && filesDir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        writeSettings({});
        open();
    }
    void TearDown() override {
        if (w) {
            w->close();
            delete w;
        }
    }
    void writeSettings(const std::map<QString, QString>& extra) {
        QSettings s(QSettings::IniFormat, QSettings::UserScope, QCoreApplication::applicationName(),
                    QCoreApplication::applicationName());
        s.clear();
        s.setValue("FORM/IPTimeout", "0.2");
        s.setValue("FORM/SensorTimeout", "10");
        s.setValue("PC/LocalIP", "127.0.0.1");
        s.setValue("PC/ReturnIP", "127.0.0.1");
        s.setValue("PC/ListenPort", "0");
        s.setValue("PC/SensorIP", "127.0.0.1");
        s.setValue("Sensor/LocalIP", "127.0.0.1");
        s.setValue("Sensor/ListenPort", "0");
        for (const auto& [k, v] : extra) {
            s.setValue(k, v);
        }
        s.sync();
    }
    void open() {
        FrmMainOptions options;
        options.filesFolder = filesDir.path();
        w = new FrmMain(options);
        w->askYesNo = [this](const QString& title, const QString&) {
            questions << title;
            return answer;
        };
        w->resize(1180, 760);
        w->show();
        ASSERT_EQ(w->PCListener->state(), Winsock::sckListening);
        ASSERT_EQ(w->SensorListener->state(), Winsock::sckListening);
        w->sPCSensorPort->setText(QString::number(w->SensorListener->localPort()));
        w->chkPCLogDetail->setChecked(true);
        w->chkSensorLogDetail->setChecked(true);
    }
    // Choosing an entry of the command list sends it, even the entry already shown.
    void choose(int command) {
        w->cmbPCCommand->setCurrentIndex(command);
        emit w->cmbPCCommand->activated(command);
    }
    // Qt hands a drop only to the target of a running drag, so the test drops through the
    // window's own entry point; the label is checked to take drops.
    void dropOnSensor(const QString& path) {
        ASSERT_TRUE(w->SensorImgLabel->acceptDrops());
        w->dropImageFile(path);
    }
    QString writeGrayFile(int width, int height, int bits) {
        // Diagonal bands with a frame, so a screenshot shows rows in their places.
        std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * height * bits / 8);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const bool edge = x < 4 || y < 4 || x >= width - 4 || y >= height - 4;
                const unsigned v = edge ? 0xFFFF : ((x + 3 * y) * 97u) & 0xFFFF;
                const std::size_t at = (static_cast<std::size_t>(y) * width + x) * (bits / 8);
                px[at] = static_cast<std::uint8_t>(bits == 16 ? v & 0xFF : v >> 8);
                if (bits == 16) {
                    px[at + 1] = static_cast<std::uint8_t>(v >> 8);
                }
            }
        }
        const std::string b = writeGrayBmp(width, height, bits, px.data(),
                                           static_cast<std::size_t>(width) * bits / 8);
        const QString path = filesDir.filePath(QString("drop%1.bmp").arg(bits));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(b.data(), static_cast<qint64>(b.size()));
        return path;
    }
    void screenshot(const QString& name) {
        QDir().mkpath(WIREBENCH_SCREENSHOT_DIR);
        QCoreApplication::processEvents();
        EXPECT_TRUE(w->grab().save(QString(WIREBENCH_SCREENSHOT_DIR) + "/" + name + ".png"));
    }

    QTemporaryDir settingsDir;
    QTemporaryDir filesDir;
    FrmMain* w = nullptr;
    QStringList questions;
    bool answer = true;
};

// A peer on loopback standing in for a unit: it keeps what a request connection brings, and
// writes replies to the workbench's reply listener.
class RawUnit {
public:
    RawUnit() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket* s = server.nextPendingConnection();
            auto* buffer = &requests.emplace_back();
            auto* done = &closed.emplace_back(false);
            QObject::connect(s, &QTcpSocket::readyRead, [s, buffer] { *buffer += s->readAll(); });
            QObject::connect(s, &QTcpSocket::disconnected, [s, buffer, done] {
                *buffer += s->readAll();
                *done = true;
            });
        });
    }
    int port() const { return server.serverPort(); }
    QTcpServer server;
    std::list<QByteArray> requests;
    std::list<bool> closed;
};

TEST_F(Workbench, StartsWithCaptionListsAndListeners) {
    EXPECT_EQ(w->windowTitle(), "Wirebench V.1.0.0");
    EXPECT_EQ(w->lstPCMessageIDs->count(), 1);
    EXPECT_EQ(w->lstPCMessageIDs->item(0)->text(), "new");
    EXPECT_EQ(w->cmdPCListen->text(), "stop Listen");
    EXPECT_EQ(w->progressPC->width(), 0);
    EXPECT_EQ(w->pcLogWindow()->windowTitle(), "PC RECEIVE LOG");
    EXPECT_EQ(w->sensorLogWindow()->windowTitle(), "SENSOR RECEIVE LOG");
    EXPECT_THAT(lines(w->lstPCInfo), ::testing::Contains(QString("started listening")));
    // Every control is reachable by its name.
    for (const char* name :
         {"sPCLocalIP",        "sPCListenPort",     "cmdPCListen",     "sPCReturnIP",
          "sPCReturnPort",     "sPCSensorIP",       "sPCSensorPort",   "cmdPCConnectToSensor",
          "cmbPCCommand",      "cmbParam",          "txtPCParamToSet", "chk16Bit",
          "optNone",           "optClose",          "optACK",          "Frame1",
          "cmdBreak",          "lstPCMessageIDs",   "lstPCInfo",       "chkPCLogDetail",
          "chkLogTcp",         "chkLogImageToFile", "chkBigEndian",    "PCImg",
          "cmdPCImgClear",     "progressPCBox",     "progressPC",      "lblPCReceive",
          "txtIPTimeout",      "txtSensorTimeout",  "sSensorLocalIP",  "sSensorListenPort",
          "cmdSensorListen",   "cmbSensorState",    "cmbSensorError",  "cmbSensorSensor",
          "chkGrayBits0",      "chkGrayBits1",      "chkSendAligned",  "SensorImg",
          "SensorImgLabel",    "cmdSensorImgClear", "lstSensorInfo",   "chkSensorLogDetail",
          "progressSensorBox", "progressSensor",    "lblSensorSend"}) {
        EXPECT_NE(w->findChild<QWidget*>(name), nullptr) << name;
    }
    // An address box left empty takes this machine's address.
    w->sPCSensorIP->setText("");
    QFocusEvent out(QEvent::FocusOut);
    QCoreApplication::sendEvent(w->sPCSensorIP, &out);
    EXPECT_EQ(w->sPCSensorIP->text(), Winsock::localIP());
    // A non-numeric time-out text leaves the old value.
    w->txtIPTimeout->setText("abc");
    EXPECT_FLOAT_EQ(w->ipTimeout(), 0.2f);
}

TEST_F(Workbench, StatusAgainstItsOwnSensor) {
    w->cmbSensorSensor->setCurrentIndex(1);
    w->chkLogTcp->setChecked(true);
    w->chkLogImageToFile->setChecked(true);
    choose(kCmdStatus);
    ASSERT_EQ(w->messageTable().size(), 1);
    EXPECT_EQ(w->messageTable()[0].answered, "0");
    EXPECT_EQ(w->messageTable()[0].id.size(), 20);
    EXPECT_EQ(w->statusReply().stateText, "IDLE");
    EXPECT_EQ(w->statusReply().sensorNumber, 1);
    const QStringList pc = lines(w->lstPCInfo);
    EXPECT_THAT(pc, ::testing::Contains(QString("GOT: LEN=31")));
    EXPECT_TRUE(pc.filter(QRegularExpression("^(ERROR|WAR)")).isEmpty())
        << pc.join("\n").toStdString();
    EXPECT_THAT(lines(w->lstSensorInfo), ::testing::Contains(QString("COMMAND: STATUS")));
    const QByteArray body("STATE=IDLE\r\nERROR=0\r\nSENSOR=1\r\n");
    EXPECT_EQ(readFile(w->filesFolder() + "/WIREBNCH.IMG"), body);
    EXPECT_EQ(readFile(w->filesFolder() + "/TCPIN.LOG"),
              "ID=" + w->messageTable()[0].id.toLatin1() + "\r\nCMD=STATUS\r\nLEN=31\r\n" + body);
    // The list shows the new id selected; choosing again with it selected reuses it.
    EXPECT_EQ(w->lstPCMessageIDs->count(), 2);
    EXPECT_EQ(w->lstPCMessageIDs->currentRow(), 1);
    choose(kCmdReset);
    EXPECT_EQ(w->messageTable().size(), 1);
    EXPECT_EQ(w->messageTable()[0].command, "RESET");
    EXPECT_EQ(w->messageTable()[0].answered, "0");
    EXPECT_EQ(w->lstPCMessageIDs->currentRow(), 1);
    screenshot("frmMain-after-status");
}

TEST_F(Workbench, ParameterReadAnswersHostIpInAnyCase) {
    w->cmbParam->setEditText("hOsTiP");
    choose(kCmdGetParam);
    EXPECT_EQ(w->paramReply().name, "hOsTiP");
    EXPECT_EQ(w->paramReply().value, "127.0.0.1");
    w->cmbParam->setEditText("SerialNumber");
    w->txtPCParamToSet->setText("123");
    choose(kCmdSetParam);
    EXPECT_EQ(w->paramReply().value, "THE_RESULT");
    EXPECT_THAT(lines(w->lstSensorInfo), ::testing::Contains(QString("GOT: VALUE=123")));
}

TEST_F(Workbench, CaptureSendsTheDroppedImageUnalignedAs8Bit) {
    constexpr int kRows = 240;
    const QString file = writeGrayFile(1001, kRows, 16);
    w->chkSendAligned->setChecked(false);
    w->chkLogImageToFile->setChecked(true);
    w->chkGrayBits1->setChecked(true);
    QTimer dropper;
    bool dropped = false;
    QObject::connect(&dropper, &QTimer::timeout, [&] {
        if (!dropped && w->cmbSensorState->currentText() == "WAITXRAY") {
            EXPECT_THAT(w->SensorImgLabel->text().toStdString(),
                        ::testing::MatchesRegex("please drop image here: \\[1[45]\\]"));
            dropped = true;
            dropOnSensor(file);
        }
    });
    dropper.start(20);
    choose(kCmdCapture);
    waitUntil([&] { return !w->PCImg->bitmap().isNull(); }, "the image on the PC side");
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(w->chkGrayBits0->isChecked()) << "MODE=536870912 selects 8 bits";
    EXPECT_EQ(w->PCImg->bitmap().width(), 1001);
    EXPECT_EQ(w->PCImg->bitmap().height(), kRows);
    EXPECT_EQ(w->PCImg->bitmap().bitsPerPixel(), 8);
    EXPECT_EQ(w->PCImg->toolTip(), "1001x240x8");
    EXPECT_THAT(lines(w->lstSensorInfo),
                ::testing::Contains(QString("INFO: have to grayscale the dropped image")));
    EXPECT_THAT(lines(w->lstPCInfo), ::testing::Contains(QString("Got IMAGE: 1001x240x8,Gray=1")));
    EXPECT_EQ(readFile(w->filesFolder() + "/WIREBNCH.IMG").size(), 1078 + 1001 * kRows);
    EXPECT_EQ(w->cmbSensorState->currentText(), "IMGRDY");
    // What the PC shows is what the sensor holds, pixel for pixel.
    for (int y : {0, 1, 100, kRows - 1}) {
        for (int x : {0, 5, 500, 999, 1000}) {
            EXPECT_EQ(w->PCImg->bitmap().image().pixelIndex(x, y),
                      w->SensorImg->bitmap().image().pixelIndex(x, y))
                << x << "," << y;
        }
    }
    waitUntil([&] { return w->messageTable()[0].answered == "0"; }, "the row answered");
    screenshot("frmMain-after-image");
}

TEST_F(Workbench, GetSends16BitImageAndWithoutImageReportsError2) {
    choose(kCmdGet);
    waitUntil([&] { return w->messageTable()[0].answered == "0"; }, "the status reply to GET");
    EXPECT_EQ(w->statusReply().errorNumber, 2);
    EXPECT_EQ(w->cmbSensorState->currentText(), "IDLE");
    EXPECT_THAT(
        lines(w->lstPCInfo),
        ::testing::Contains(QString("WARNING: Binary data < 100 bytes, expecting STATUS now")));

    dropOnSensor(writeGrayFile(33, 5, 16));
    EXPECT_EQ(w->SensorImg->toolTip(), "33x5/16; GRAY=1");
    EXPECT_EQ(w->cmbSensorState->currentText(), "IMGRDY");
    w->chk16Bit->setChecked(true);
    w->lstPCMessageIDs->setCurrentRow(0);
    choose(kCmdGet);
    waitUntil([&] { return !w->PCImg->bitmap().isNull(); }, "the 16-bit image");
    EXPECT_EQ(w->PCImg->bitmap().bitsPerPixel(), 16);
    EXPECT_EQ(w->PCImg->bitmap().image().pixel(3, 2), w->SensorImg->bitmap().image().pixel(3, 2));
    // BigEndian on a 16-bit image asks before swapping.
    w->chkBigEndian->click();
    EXPECT_EQ(questions, QStringList{"Swapit?"});
}

TEST_F(Workbench, RequestDuringTheCaptureWaitKeepsTheCapturesOwnFields) {
    const QString file = writeGrayFile(40, 30, 8);
    bool statusSent = false;
    bool dropped = false;
    QTimer during;
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (w->cmbSensorState->currentText() != "WAITXRAY") {
            return;
        }
        if (!statusSent) {
            statusSent = true;
            w->lstPCMessageIDs->setCurrentRow(0);
            choose(kCmdStatus);  // served while the capture waits for its image
        } else if (!dropped) {
            dropped = true;
            dropOnSensor(file);
        }
    });
    during.start(20);
    choose(kCmdCapture);
    waitUntil([&] { return !w->PCImg->bitmap().isNull(); }, "the captured image");
    ASSERT_EQ(w->messageTable().size(), 2);
    EXPECT_EQ(w->messageTable()[0].command, "CAPTURE");
    EXPECT_EQ(w->messageTable()[0].answered, "0") << "the image carries the capture's id";
    EXPECT_EQ(w->messageTable()[1].answered, "0");
    EXPECT_EQ(w->statusReply().stateText, "WAITXRAY");
    EXPECT_TRUE(lines(w->lstPCInfo).filter("WARING").isEmpty());
}

TEST_F(Workbench, CommandDuringTheHoldGetsItsOwnConnection) {
    RawUnit unit;
    w->sPCSensorPort->setText(QString::number(unit.port()));
    w->txtIPTimeout->setText("1");
    w->txtSensorTimeout->setText("0.1");
    QTimer::singleShot(300, [&] {
        w->lstPCMessageIDs->setCurrentRow(0);
        choose(kCmdClose);
    });
    choose(kCmdCapture);
    waitUntil([&] { return unit.closed.size() == 2 && unit.closed.back(); }, "two requests");
    EXPECT_TRUE(unit.requests.front().endsWith("CMD=CAPTURE\r\nMODE=536870912"));
    EXPECT_TRUE(unit.requests.back().endsWith("CMD=CLOSE"));
}

TEST_F(Workbench, NoListenerAsksBeforeSending) {
    // The caption check follows a listener closed behind the button's back.
    w->PCListener->close();
    waitUntil([&] { return w->cmdPCListen->text() == "start Listen"; }, "the caption check");
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    w->sPCListenPort->setText(QString::number(taken.serverPort()));
    answer = false;
    choose(kCmdStatus);
    EXPECT_EQ(questions, QStringList{"INFO"});
    EXPECT_TRUE(w->messageTable().isEmpty()) << "No sends nothing";
    EXPECT_THAT(lines(w->lstPCInfo), ::testing::Contains(QString("stopped listening")));
}

TEST_F(Workbench, RequestBytesAreExact) {
    RawUnit unit;
    w->sPCSensorPort->setText(QString::number(unit.port()));
    w->sPCReturnIP->setText("");
    w->cmbParam->setEditText("XRayTimeout");
    w->txtPCParamToSet->setText("35");
    w->txtSensorTimeout->setText("0.2");
    choose(kCmdSetParam);
    waitUntil([&] { return !unit.closed.empty() && unit.closed.front(); }, "the request closed");
    const QString id = w->messageTable()[0].id;
    EXPECT_EQ(unit.requests.front(), "ID=" + id.toLatin1() + "\r\nIP=127.0.0.1\r\nPORT=" +
                                         QByteArray::number(w->PCListener->localPort()) +
                                         "\r\nCMD=SETPARAM\r\nNAME=XRayTimeout\r\nVALUE=35");
    EXPECT_THAT(lines(w->lstPCInfo),
                ::testing::Contains(
                    QString("ERROR: No response from sensor (127.0.0.1/%1)").arg(unit.port())));
}

// A reply written by hand to the workbench's reply listener.
QTcpSocket* replyTo(FrmMain* w, const QByteArray& bytes) {
    auto* s = new QTcpSocket;
    s->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(w->PCListener->localPort()));
    EXPECT_TRUE(s->waitForConnected(kTestWaitMs));
    s->write(bytes);
    return s;
}

class ReplyChecks : public Workbench {
protected:
    void SetUp() override {
        Workbench::SetUp();
        w->sPCSensorPort->setText(QString::number(unit.port()));
        w->txtSensorTimeout->setText("0.2");
        choose(kCmdStatus);  // no answer: the row stays open for the replies below
        w->txtSensorTimeout->setText("10");
        id = w->messageTable()[0].id.toLatin1();
    }
    RawUnit unit;
    QByteArray id;
};

TEST_F(ReplyChecks, HeaderErrorsCloseTheConnection) {
    struct Case {
        QByteArray bytes;
        QString error;
    } cases[] = {{"CMD=STATUS\r\nLEN=0\r\n", "ERROT: Data does not start with ID="},
                 {"ID=00000000000000000001\r\nCMD=STATUS\r\n", "ERROR Illegal Message ID"}};
    for (const Case& c : cases) {
        std::unique_ptr<QTcpSocket> s(replyTo(w, c.bytes));
        waitUntil([&] { return lines(w->lstPCInfo).contains(c.error); }, "the header error");
        waitUntil([&] { return s->state() == QAbstractSocket::UnconnectedState; },
                  "the connection closed by the workbench");
    }
    EXPECT_EQ(w->messageTable()[0].answered, "1");
}

TEST_F(ReplyChecks, ShortCaptureIsStatusAndAckIsWrittenOnce) {
    w->optACK->setChecked(true);
    w->chkLogImageToFile->setChecked(true);
    w->chkLogTcp->setChecked(true);
    const QByteArray body = "STATE=IMGRDY\r\nERROR=0\r\nSENSOR=2\r\n" + QByteArray(27, 'x');
    ASSERT_EQ(body.size(), 60);
    const QByteArray all = "ID=" + id + "\r\nCMD=CAPTURE\r\nLEN=60\r\n" + body;
    std::unique_ptr<QTcpSocket> s(replyTo(w, all.left(30)));
    QByteArray got;
    QObject::connect(s.get(), &QTcpSocket::readyRead, [&] { got += s->readAll(); });
    waitUntil([&] { return lines(w->lstPCInfo).contains("GOT: ID=" + id); }, "the first part");
    s->write(all.mid(30) + "EXTRA");
    waitUntil([&] { return got == "ACK"; }, "the ACK");
    s->write("MORE");
    s->flush();
    QCoreApplication::processEvents();
    s->disconnectFromHost();
    waitUntil([&] { return w->messageTable()[0].answered == "0"; }, "the row answered");
    EXPECT_EQ(got, "ACK");
    const QStringList pc = lines(w->lstPCInfo);
    EXPECT_THAT(
        pc, ::testing::Contains(QString("WARNING: Binary data < 100 bytes, expecting STATUS now")));
    EXPECT_THAT(pc, ::testing::Contains(
                        QString("WARING wrong command (we sent: STATUS and got: CAPTURE)")));
    EXPECT_EQ(w->statusReply().stateText, "IMGRDY");
    EXPECT_EQ(readFile(w->filesFolder() + "/WIREBNCH.IMG"), body);
    EXPECT_EQ(readFile(w->filesFolder() + "/TCPIN.LOG"), all + "EXTRAMORE");
}

TEST_F(ReplyChecks, BreakWritesErrOnTheReplyConnection) {
    std::unique_ptr<QTcpSocket> s(replyTo(w, "ID=" + id + "\r\nCMD=GET\r\nLEN=5000\r\nBM"));
    QByteArray got;
    QObject::connect(s.get(), &QTcpSocket::readyRead, [&] { got += s->readAll(); });
    waitUntil([&] { return w->lblPCReceive->text() == "2 / 5000"; }, "the body started");
    w->cmdBreak->click();
    waitUntil([&] { return got == "ERR"; }, "ERR at the unit");
    EXPECT_THAT(lines(w->lstPCInfo), ::testing::Contains(QString("Send ERR to the sensor")));
}

// A computer that answers the sensor's image with "ERR" ends the transfer, and the sensor side
// goes on serving.
TEST_F(Workbench, SensorStopsSendingOnErr) {
    // The window's thread runs the sensor's send loop, so the computer answers from its events.
    QTcpServer pc;
    ASSERT_TRUE(pc.listen(QHostAddress::LocalHost, 0));
    bool errSent = false;
    QObject::connect(&pc, &QTcpServer::newConnection, [&] {
        QTcpSocket* reply = pc.nextPendingConnection();
        reply->setReadBufferSize(4096);  // read slowly so the sender has to wait
        QObject::connect(reply, &QTcpSocket::readyRead, [&errSent, reply] {
            if (!errSent) {
                errSent = true;
                reply->write("ERR");
                reply->flush();
            }
        });
    });
    dropOnSensor(writeGrayFile(2000, 2000, 16));
    w->chkGrayBits1->setChecked(true);
    QTcpSocket request;
    request.connectToHost(QHostAddress::LocalHost,
                          static_cast<quint16>(w->SensorListener->localPort()));
    ASSERT_TRUE(request.waitForConnected(kTestWaitMs));
    request.write("ID=5\r\nIP=127.0.0.1\r\nPORT=" + QByteArray::number(pc.serverPort()) +
                  "\r\nCMD=GET\r\nMODE=0");
    request.flush();
    waitUntil([&] { return lines(w->lstSensorInfo).contains("GOT: MODE=0"); }, "the request");
    QElapsedTimer clock;
    clock.start();
    request.disconnectFromHost();
    waitUntil([&] { return lines(w->lstSensorInfo).contains("GOT ERR, stopping data transfer"); },
              "the ERR seen");
    waitUntil([&] { return w->SensorSender->state() == Winsock::sckClosed; }, "the sender closed");
    EXPECT_LT(clock.elapsed(), 10000) << "the send ended with the ERR, not the time-out";
    EXPECT_FALSE(
        lines(w->lstSensorInfo).contains("ERROR: reply not sent within the sensor timeout"));
    // The sensor side is free for the next request.
    choose(kCmdStatus);
    EXPECT_EQ(w->messageTable()[0].answered, "0");
}

TEST_F(ReplyChecks, ShortBodyIsReportedAndLeavesTheRowOpen) {
    w->chkLogImageToFile->setChecked(true);
    w->chkLogTcp->setChecked(true);
    QFile marker(w->filesFolder() + "/WIREBNCH.IMG");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.write("earlier");
    marker.close();
    const QByteArray sent = "ID=" + id + "\r\nCMD=STATUS\r\nLEN=20\r\n" + QByteArray(10, 'b');
    std::unique_ptr<QTcpSocket> s(replyTo(w, sent));
    s->flush();
    waitUntil([&] { return w->lblPCReceive->text() == "10 / 20"; }, "ten bytes received");
    s->disconnectFromHost();
    waitUntil(
        [&] {
            return lines(w->lstPCInfo)
                .contains("ERROR in TRANSMISSION (RECEIVED [10] <> LEN [20])");
        },
        "the transmission error");
    EXPECT_EQ(w->messageTable()[0].answered, "1");
    EXPECT_EQ(readFile(w->filesFolder() + "/WIREBNCH.IMG"), "earlier");
    EXPECT_EQ(readFile(w->filesFolder() + "/TCPIN.LOG"), sent);
    w->txtSensorTimeout->setText("0.3");
    EXPECT_FALSE(w->waitForAnswer(0));

    // A connection that ends inside the header is no reply at all.
    std::unique_ptr<QTcpSocket> early(replyTo(w, "ID=" + id + "\r\nCMD=STA"));
    early->flush();
    waitUntil([&] { return lines(w->lstPCInfo).contains("GOT: ID=" + id); }, "the id line");
    early->disconnectFromHost();
    waitUntil(
        [&] {
            return lines(w->lstPCInfo)
                .contains("ERROR: connection closed before the header was complete");
        },
        "the early close");
    EXPECT_EQ(w->messageTable()[0].answered, "1");
    EXPECT_EQ(readFile(w->filesFolder() + "/WIREBNCH.IMG"), "earlier");
}

TEST_F(Workbench, UnknownCommandGetsNoReply) {
    RawUnit pc;  // a computer that writes a request by hand
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(w->SensorListener->localPort()));
    ASSERT_TRUE(s.waitForConnected(kTestWaitMs));
    s.write("ID=7\r\nIP=127.0.0.1\r\nPORT=" + QByteArray::number(pc.port()) + "\r\nCMD=FOO\r\n");
    s.flush();
    waitUntil([&] { return lines(w->lstSensorInfo).contains("GOT: CMD=FOO"); }, "the CMD line");
    w->txtSensorTimeout->setText("0.3");
    s.disconnectFromHost();
    waitUntil(
        [&] { return lines(w->lstSensorInfo).contains("TIMEOUT connection without command"); },
        "the time-out line");
    EXPECT_TRUE(pc.requests.empty());
}

TEST_F(Workbench, LogWindowsKeepLinesAndComeBackWhereTheyWere) {
    w->mnuPCLogLarge->trigger();
    FrmLogWin* log = w->pcLogWindow();
    EXPECT_TRUE(log->isVisible());
    const int count = log->List1->count();
    EXPECT_GT(count, 0);
    log->close();
    EXPECT_FALSE(log->isVisible());
    w->mnuPCLogClear->trigger();
    EXPECT_EQ(w->lstPCInfo->count(), 0);
    w->mnuPCLogLarge->trigger();
    EXPECT_TRUE(log->isVisible());
    EXPECT_EQ(log->List1->count(), count);
    log->move(40, 50);
    log->resize(333, 222);
    const QRect placed = log->geometry();
    w->close();
    EXPECT_FALSE(log->isVisible()) << "leaving the program closes the log windows";
    delete w;
    w = nullptr;

    QSettings s(QSettings::IniFormat, QSettings::UserScope, QCoreApplication::applicationName(),
                QCoreApplication::applicationName());
    EXPECT_EQ(s.value("PC/LogWin").toString(), "True");
    s.setValue("PC/ListenPort", "0");
    s.setValue("Sensor/ListenPort", "0");
    s.setValue("Sensor/LogWin", "True");
    s.setValue("Sensor/LogWinDim", QString("1") + QChar(0) + "2");  // incomplete: not placed
    s.sync();
    open();
    EXPECT_TRUE(w->pcLogWindow()->isVisible());
    EXPECT_EQ(w->pcLogWindow()->geometry(), placed);
    EXPECT_TRUE(w->sensorLogWindow()->isVisible());
    EXPECT_NE(w->sensorLogWindow()->size(), QSize(2, 0));
}

// The virtual unit takes the workbench's requests; its status keyword "ERR=" is not the one the
// workbench reads, so the error number stays as it was.
TEST_F(Workbench, AgainstTheVirtualUnit) {
    using namespace std::chrono_literals;
    unitsim::Config config;
    config.processingTime = 0ms;
    unitsim::VirtualUnit unit(config);
    unit.start();
    w->sPCSensorPort->setText(QString::number(unit.port()));
    choose(kCmdStatus);
    ASSERT_EQ(w->messageTable()[0].answered, "0");
    EXPECT_EQ(w->statusReply().stateText, "IDLE");
    EXPECT_EQ(w->statusReply().errorNumber, 0);
    EXPECT_EQ(w->statusReply().sensorNumber, 1);

    w->lstPCMessageIDs->setCurrentRow(0);
    w->cmbParam->setEditText("CCDSizeX");
    choose(kCmdGetParam);
    EXPECT_EQ(w->paramReply().value, "684");
    w->cmbParam->setEditText("XRayTimeout");
    w->txtPCParamToSet->setText("40");
    choose(kCmdSetParam);
    EXPECT_EQ(w->paramReply().value, "40") << "VALUE= is taken as the value";

    choose(kCmdCapture);
    ASSERT_TRUE(unit.waitForState(unitsim::UnitState::WaitXray, 15s));
    unit.triggerExposure();
    waitUntil([&] { return !w->PCImg->bitmap().isNull(); }, "the unit's image");
    EXPECT_EQ(w->PCImg->toolTip(), "684x456x8");
    // The 16-bit picture comes most significant byte first: "BigEndian" swaps it while rebuilding,
    // and the unit's 12-bit values shifted left by four come out as multiples of 16.
    w->PCImg->freeBitmap();
    w->chk16Bit->setChecked(true);
    w->chkBigEndian->setChecked(true);
    w->lstPCMessageIDs->setCurrentRow(0);
    choose(kCmdGet);
    waitUntil([&] { return !w->PCImg->bitmap().isNull(); }, "the unit's 16-bit image");
    EXPECT_EQ(w->PCImg->toolTip(), "684x456x16");
    const auto histogram = w->PCImg->bitmap().histogram();
    std::size_t offGrid = 0;
    for (std::size_t v = 0; v < histogram.size(); ++v) {
        offGrid += v % 16 != 0 ? histogram[v] : 0;
    }
    EXPECT_EQ(offGrid, 0u);
    EXPECT_TRUE(lines(w->lstPCInfo).filter(QRegularExpression("^ERROR")).isEmpty());
    unit.stop();
}

TEST_F(Workbench, ImageWindowsAndSavingOnAnImageFromTheVirtualUnit) {
    using namespace std::chrono_literals;
    unitsim::Config config;
    config.processingTime = 0ms;
    config.image =
        unitsim::makePhantom(unitsim::kSensorWidthPixels, unitsim::kSensorHeightPixels, 3);
    unitsim::VirtualUnit unit(config);
    unit.start();
    w->sPCSensorPort->setText(QString::number(unit.port()));
    w->chk16Bit->setChecked(true);
    w->chkBigEndian->setChecked(true);
    choose(kCmdCapture);
    ASSERT_TRUE(unit.waitForState(unitsim::UnitState::WaitXray, 15s));
    unit.triggerExposure();
    waitUntil([&] { return !w->PCImg->bitmap().isNull(); }, "the unit's 16-bit image");
    ASSERT_EQ(w->PCImg->bitmap().bitsPerPixel(), 16);
    const QImage received = w->PCImg->bitmap().image();

    // The image menu comes only for a box that holds an image.
    mouse(w->SensorImg, QEvent::MouseButtonPress, {20, 20}, Qt::RightButton, Qt::RightButton);
    EXPECT_FALSE(w->mnuImg->isVisible());
    mouse(w->PCImg, QEvent::MouseButtonPress, {20, 20}, Qt::RightButton, Qt::RightButton);
    EXPECT_TRUE(w->mnuImg->isVisible());
    EXPECT_TRUE(w->mnuImgProcess->isEnabled());
    EXPECT_TRUE(w->mnuImgSave->isEnabled());
    w->mnuImg->close();

    // "Process" on the box the menu names.
    w->mnuImgProcess->trigger();
    FrmProcessing* p = w->processingWindow();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->original().image(), received);
    p->cmdHistogram->click();
    p->chkHistoDropEdges->click();
    const int maxPos = p->BorderMove->width() - BorderStrip::kMarkerWidth;
    drag(p->BorderMove, {BorderStrip::kMarkerWidth / 2, 5}, {maxPos / 10, 5});
    drag(p->BorderMove, {maxPos + BorderStrip::kMarkerWidth / 2, 5}, {maxPos * 2 / 3, 5});
    p->scrlHistRemapFactor->setValue(70);
    wirebench::screenshot(p, "frmProcessing-virtual-unit-16bit");
    p->close();

    // A double-click opens the modal view window over the whole screen.
    bool viewed = false;
    onModal([&viewed](QWidget* m) {
        auto* view = qobject_cast<FrmCTViewWindow*>(m);
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->size(), view->screen()->geometry().size());
        const QPoint c = view->rect().center();
        mouse(view, QEvent::MouseButtonPress, c, Qt::RightButton, Qt::RightButton,
              Qt::ShiftModifier);
        mouse(view, QEvent::MouseMove, c + QPoint(view->width() / 10, 0), Qt::NoButton,
              Qt::RightButton, Qt::ShiftModifier);
        EXPECT_GT(view->gamma(), 100);
        wirebench::screenshot(view, "frmCTViewWindow-virtual-unit-gamma");
        mouse(view, QEvent::MouseButtonPress, c, Qt::LeftButton, Qt::LeftButton);
        viewed = true;
    });
    mouse(w->PCImg, QEvent::MouseButtonDblClick, {30, 30}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_TRUE(viewed);
    EXPECT_EQ(w->PCImg->bitmap().image(), received) << "the windows work on copies";

    // Save as: preset with the program's name; PNG keeps the 16-bit pixels.
    const QString saved = filesDir.filePath("saved");
    onModal([&saved](QWidget* m) {
        auto* dlg = qobject_cast<QFileDialog*>(m);
        ASSERT_NE(dlg, nullptr);
        ASSERT_FALSE(dlg->selectedFiles().isEmpty());
        EXPECT_TRUE(dlg->selectedFiles().first().endsWith("/wirebench_gui_tests"))
            << dlg->selectedFiles().first().toStdString();
        dlg->selectNameFilter("PNG (*.png)");
        dlg->selectFile(saved);
        static_cast<QDialog*>(dlg)->accept();
    });
    w->mnuImg->setProperty("tag", "PCImg");
    const int before = static_cast<int>(lines(w->lstPCInfo).size());
    w->mnuImgSave->trigger();
    QImage back(saved + ".png");
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.format(), QImage::Format_Grayscale16);
    EXPECT_EQ(back, received);
    EXPECT_EQ(static_cast<int>(lines(w->lstPCInfo).size()), before) << "nothing is logged";
    // Cancel writes nothing.
    const auto filesBefore = QDir(filesDir.path()).entryList(QDir::Files);
    onModal([](QWidget* m) { static_cast<QDialog*>(m)->reject(); });
    EXPECT_FALSE(w->saveImageAs(w->PCImg));
    EXPECT_EQ(QDir(filesDir.path()).entryList(QDir::Files), filesBefore);
    unit.stop();
}

TEST_F(Workbench, ScreenshotsOfBothRolesAtRest) {
    screenshot("frmMain-start");
}

}  // namespace
}  // namespace wirebench

int main(int argc, char** argv) {
    // The window tests always run offscreen; without a platform they fail rather than skip.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("wirebench_gui_tests");
    ::testing::InitGoogleTest(&argc, argv);
    if (QGuiApplication::platformName() != "offscreen") {
        std::fprintf(stderr, "no offscreen platform (got '%s')\n",
                     qPrintable(QGuiApplication::platformName()));
        return 1;
    }
    return RUN_ALL_TESTS();
}
