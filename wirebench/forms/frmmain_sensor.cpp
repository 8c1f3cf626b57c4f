// Main window, sensor side: the simulated unit's request parsing, serving and replies.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include "core/bmp.h"
#include "frmmain.h"

namespace wirebench {

namespace {

QByteArray bytesOf(const std::string& s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}
QString textOf(const std::string& s) {
    return QString::fromLatin1(s.data(), s.size());
}

}  // namespace

void FrmMain::sensorDetail(const QString& text) {
    if (chkSensorLogDetail->isChecked()) {
        sensorLog(text);
    }
}

void FrmMain::sensorListenClicked() {
    if (SensorListener->state() == Winsock::sckListening) {
        SensorListener->close();
        waitForSocketState(SensorListener, Winsock::sckClosed);
    } else {
        startListening(SensorListener, sSensorLocalIP->text(),
                       static_cast<int>(leadingNumber(sSensorListenPort->text().toStdString())));
    }
    if (SensorListener->state() != Winsock::sckClosed) {
        sensorLog("started listening");
        cmdSensorListen->setText("stop Listen");
    } else {
        sensorLog("stopped listening");
        cmdSensorListen->setText("start Listen");
    }
}

void FrmMain::sensorConnectionRequest(qintptr requestId) {
    if (SensorReceiver->state() != Winsock::sckClosed) {
        SensorReceiver->close();
        if (!waitForSocketState(SensorReceiver, Winsock::sckClosed)) {
            sensorLog("ERROR: could not close SensorReceiver to accept new connection");
            return;
        }
    }
    const bool accepted = SensorReceiver->accept(requestId);
    const QString peer = SensorReceiver->remoteHostIP() + " (" + SensorReceiver->remoteHost() +
                         " / " + QString::number(SensorReceiver->remotePort()) + ")";
    sensorDetail("Connectionrequest from: " + peer);
    if (accepted && (waitForSocketState(SensorReceiver, Winsock::sckConnected) ||
                     SensorReceiver->state() == Winsock::sckClosing)) {
        if (SensorReceiver->state() == Winsock::sckConnected) {
            sensorDetail("Connect from: " + peer);
        }
        sensorNewConnection_ = true;
        sensorParser_.start();
    } else {
        sensorLog("Connectionrequest failed: " + peer);
        SensorReceiver->close();
    }
}

void FrmMain::sensorDataArrival(qint64 bytes) {
    if (bytes == 0) {
        return;
    }
    const QByteArray arrived = SensorReceiver->getData();
    if (sensorNewConnection_) {
        sensorNewConnection_ = false;
        sensorParser_.start();
    }
    if (!sensorParser_.parsing()) {
        return;  // bytes after a complete request are ignored
    }
    sensorParser_.feed(
        std::string_view(arrived.constData(), static_cast<std::size_t>(arrived.size())));
    for (const ParserLine& line : sensorParser_.takeLines()) {
        if (line.detail) {
            sensorDetail(textOf(line.text));
        } else {
            sensorLog(textOf(line.text));
        }
    }
    if (sensorParser_.failed()) {
        SensorReceiver->close();
    }
}

void FrmMain::serveRequest() {
    if (sensorBusy_) {
        doEvents();
        return;
    }
    // Bytes that came with the close are part of the request.
    if (SensorReceiver->bytesReceived() > 0) {
        sensorDataArrival(SensorReceiver->bytesReceived());
    }
    if (SensorReceiver->state() == Winsock::sckClosed) {
        return;  // refused while parsing: closed by this side, nothing to serve
    }
    sensorBusy_ = true;
    QElapsedTimer clock;
    clock.start();
    const auto limitMs = static_cast<qint64>(sensorTimeout_ * 1000.0f);
    // The request is copied: a later request during a capture's wait must not relabel it.
    RequestFields request = sensorParser_.fields();
    int command = serveCommandNumber(request);
    while (command == kCmdNone && clock.elapsed() < limitMs) {
        doEvents();
        request = sensorParser_.fields();
        command = serveCommandNumber(request);
    }
    sensorBusy_ = false;
    if (SensorReceiver->state() != Winsock::sckClosed) {
        SensorReceiver->close();
        if (!waitForSocketState(SensorReceiver, Winsock::sckClosed)) {
            sensorLog("TIMEOUT while closing SensorReceiver");
        }
    }
    if (command == kCmdNone) {
        sensorLog("TIMEOUT connection without command");
        return;
    }
    sensorLog("COMMAND: " + textOf(request.command));
    switch (command) {
        case kCmdStatus:
        case kCmdReset:
            sendReply(command, false, request);
            break;
        case kCmdClose:
            cmbSensorError->setCurrentIndex(0);
            cmbSensorState->setCurrentIndex(kStateIdle);
            SensorImg->freeBitmap();
            sendReply(command, false, request);
            break;
        case kCmdGetParam:
        case kCmdSetParam:
            request.paramValue =
                sensorParamValue(request.paramName, sSensorLocalIP->text().toStdString());
            sendReply(command, false, request);
            break;
        case kCmdGet:
            if (SensorImg->bitmap().isNull() || cmbSensorState->currentIndex() != kStateImgRdy) {
                cmbSensorError->setCurrentIndex(2);
                sendReply(kCmdGet, false, request);
            } else {
                applyMode(textOf(request.mode));
                cmbSensorState->setCurrentIndex(kStateProcessing);
                sendReply(kCmdGet, true, request);
                cmbSensorState->setCurrentIndex(kStateImgRdy);
            }
            break;
        case kCmdCapture: {
            SensorImg->freeBitmap();
            applyMode(textOf(request.mode));
            cmbSensorState->setCurrentIndex(kStateWaitXray);
            captureWaiting_ = true;
            SensorImgLabel->setVisible(true);
            const QString tag = SensorImgLabel->property("tag").toString();
            QElapsedTimer wait;
            wait.start();
            const qint64 waitMs = kCaptureWaitSeconds * 1000LL;
            while (wait.elapsed() < waitMs && SensorImg->bitmap().isNull()) {
                const qint64 left = (waitMs - wait.elapsed()) / 1000;
                SensorImgLabel->setText(tag + " [" + QString::number(left).rightJustified(2, '0') +
                                        "]");
                doEvents();
            }
            captureWaiting_ = false;
            SensorImgLabel->setText(tag);
            SensorImgLabel->setVisible(false);
            if (cmbSensorState->currentIndex() == kStateImgRdy && !SensorImg->bitmap().isNull()) {
                cmbSensorState->setCurrentIndex(kStateProcessing);
                sendReply(kCmdCapture, true, request);
                cmbSensorState->setCurrentIndex(kStateImgRdy);
            } else {
                cmbSensorError->setCurrentIndex(2);
                sendReply(kCmdCapture, false, request);
            }
            break;
        }
        default:
            break;
    }
}

void FrmMain::applyMode(const QString& mode) {
    if (mode.trimmed().isEmpty()) {
        return;
    }
    const std::int64_t value = leadingNumber(mode.toStdString());
    int bits = 0;
    if (value == kImage16bitMode) {
        chkGrayBits1->setChecked(true);
        bits = 16;
    } else if (value == kImage8bitMode) {
        chkGrayBits0->setChecked(true);
        bits = 8;
    } else {
        return;
    }
    LeadImage& img = SensorImg->bitmap();
    if (!img.isNull() && img.bitsPerPixel() != bits) {
        img.convertGray(bits);
        SensorImg->repaintImage();
    }
}

void FrmMain::grayBitsChanged(int index) {
    LeadImage& img = SensorImg->bitmap();
    if (img.isNull()) {
        return;
    }
    const int bits = index == 0 ? 8 : 16;
    if (img.bitsPerPixel() != bits) {
        sensorLog("INFO: the grayscale will be changed from " +
                  QString::number(img.bitsPerPixel()) + " to " + QString::number(bits));
    }
    img.convertGray(bits);
    SensorImg->repaintImage();
}

void FrmMain::dropImageFile(const QString& path) {
    LeadImage& img = SensorImg->bitmap();
    if (!img.loadFile(path)) {
        sensorLog("ERROR: could not load image " + path);
        SensorImg->repaintImage();
        return;
    }
    SensorImg->setToolTip(QString::number(img.width()) + "x" + QString::number(img.height()) + "/" +
                          QString::number(img.bitsPerPixel()) +
                          "; GRAY=" + QString::number(img.grayscaleKind()));
    SensorImg->repaintImage();
    cmbSensorState->setCurrentIndex(kStateImgRdy);
}

QByteArray FrmMain::imageBody() {
    LeadImage& img = SensorImg->bitmap();
    const int bits = chkGrayBits1->isChecked() ? 16 : 8;
    if (img.bitsPerPixel() != bits || img.grayscaleKind() != LeadImage::kOrderedGray) {
        sensorLog("INFO: have to grayscale the dropped image");
        img.convertGray(bits);
        SensorImg->repaintImage();
    }
    const QImage& q = img.image();
    std::string bmp = writeGrayBmp(img.width(), img.height(), img.bitsPerPixel(), q.constBits(),
                                   static_cast<std::size_t>(q.bytesPerLine()));
    if (!chkSendAligned->isChecked()) {
        bmp = packBmpRows(bmp);
    }
    return bytesOf(bmp);
}

bool FrmMain::waitSensorSendComplete() {
    QElapsedTimer clock;
    clock.start();
    const auto limitMs = static_cast<qint64>(sensorTimeout_ * 1000.0f);
    while (!sensorSendComplete_ && clock.elapsed() < limitMs &&
           SensorSender->state() == Winsock::sckConnected) {
        doEvents();
    }
    return sensorSendComplete_;
}

void FrmMain::sendReply(int command, bool withImage, const RequestFields& request) {
    const QString address = textOf(request.returnIp);
    const QString port = QString::number(request.returnPort);
    if (SensorSender->state() != Winsock::sckClosed) {
        SensorSender->close();
        if (!waitForSocketState(SensorSender, Winsock::sckClosed)) {
            sensorLog("ERROR: could not close SensorSender");
            return;
        }
    }
    sensorDetail("Connecting (to:" + address + "/" + port + ")");
    if (!connectSocket(SensorSender, address, request.returnPort)) {
        sensorLog("ERROR: could connect to: " + address + " / " + port);
        return;
    }
    progressSensor->resize(0, progressSensor->height());
    sensorSent_ = 0;
    sensorTotal_ = 0;

    QByteArray body;
    const bool image = withImage && (command == kCmdCapture || command == kCmdGet);
    if (image) {
        body = imageBody();
    } else if (command == kCmdGetParam || command == kCmdSetParam) {
        body = bytesOf(paramBody(request.paramName, request.paramValue));
    } else {
        body = bytesOf(statusBody(cmbSensorState->currentText().toStdString(),
                                  cmbSensorError->currentText().toStdString(),
                                  cmbSensorSensor->currentText().toStdString()));
    }
    const QByteArray header =
        bytesOf(replyHeader(request.id, request.command, static_cast<std::size_t>(body.size())));
    sensorTotal_ = header.size() + body.size();
    const QString where = "(to:" + address + "/" + port + "): ";
    if (!image) {
        sensorDetail("Sending " + where + QString::fromLatin1(header + body));
        sensorSendComplete_ = false;
        SensorSender->sendData(header + body);
    } else {
        sensorDetail("Sending Binary(" + QString::number(body.size()) + ") " + where +
                     QString::fromLatin1(header));
        sensorSendComplete_ = false;
        SensorSender->sendData(header.left(10));
        waitSensorSendComplete();
        sensorSendComplete_ = false;
        SensorSender->sendData(header.mid(10));
        waitSensorSendComplete();
        if (SensorSender->state() != Winsock::sckConnected) {
            sensorLog("ERROR: Could not send binary data, Connectionstate=" +
                      QString::number(SensorSender->state()));
            return;
        }
        sensorSendComplete_ = false;
        SensorSender->sendData(body);
    }
    if (!waitSensorSendComplete() && SensorSender->state() == Winsock::sckConnected) {
        sensorLog("ERROR: reply not sent within the sensor timeout");
    }
    if (SensorSender->state() == Winsock::sckConnected) {
        SensorSender->close();
        if (!waitForSocketState(SensorSender, Winsock::sckClosed)) {
            sensorLog("ERROR: could not close SensorSender after sending data");
        }
    }
}

void FrmMain::sensorSenderData(qint64 bytes) {
    if (bytes == 0) {
        return;
    }
    const QString text = QString::fromLatin1(SensorSender->getData()).toLower();
    if (text == "ack") {
        sensorLog("GOT ACK, closing connection");
        SensorSender->close();
    } else if (text == "err") {
        sensorLog("GOT ERR, stopping data transfer");
        SensorSender->close();
        sensorSendComplete_ = true;
    }
}

void FrmMain::sensorSendProgress(qint64 bytes) {
    sensorSent_ += bytes;
    if (sensorTotal_ > 0) {
        progressSensor->resize(static_cast<int>(progressSensorBox->width() *
                                                std::min(sensorSent_, sensorTotal_) / sensorTotal_),
                               progressSensor->height());
    }
    lblSensorSend->setText(QString::number(sensorSent_) + " / " + QString::number(sensorTotal_));
}

void FrmMain::sensorSenderClosed() {
    if (sensorSent_ >= sensorTotal_) {
        sensorSendComplete_ = true;
        progressSensor->resize(0, progressSensor->height());
        lblSensorSend->clear();
    }
}

}  // namespace wirebench
