// Main window, PC side: listener, request connection, sending commands and receiving replies.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>

#include "core/bmp.h"
#include "frmmain.h"

namespace wirebench {

namespace {

QByteArray bytesOf(const std::string& s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}
std::string_view viewOf(const QByteArray& b) {
    return {b.constData(), static_cast<std::size_t>(b.size())};
}

}  // namespace

void FrmMain::pcDetail(const QString& text) {
    if (chkPCLogDetail->isChecked()) {
        pcLog(text);
    }
}

void FrmMain::pcListenClicked() {
    if (PCListener->state() == Winsock::sckListening) {
        PCListener->close();
        waitForSocketState(PCListener, Winsock::sckClosed);
    } else {
        startListening(PCListener, sPCLocalIP->text(),
                       static_cast<int>(leadingNumber(sPCListenPort->text().toStdString())));
    }
    if (PCListener->state() != Winsock::sckClosed) {
        pcLog("started listening");
        cmdPCListen->setText("stop Listen");
    } else {
        pcLog("stopped listening");
        cmdPCListen->setText("start Listen");
    }
}

void FrmMain::pcConnectToggle() {
    bool closeFailed = false;
    if (PCSender->state() == Winsock::sckConnected) {
        PCSender->close();
        if (waitForSocketState(PCSender, Winsock::sckClosed)) {
            cmdPCConnectToSensor->setText("Connect");
            return;
        }
        closeFailed = true;
    } else if (PCSender->state() >= 1) {
        PCSender->close();
        closeFailed = !waitForSocketState(PCSender, Winsock::sckClosed);
    }
    if (closeFailed) {
        pcLog("ERROR: PCSender (state: " + QString::number(PCSender->state()) +
              ") could not be closed");
    }
    PCSender->setLocalPort(0);
    pcDetail("Connecting (to:" + sPCSensorIP->text() + "/" + sPCSensorPort->text() + ")");
    if (connectSocket(PCSender, sPCSensorIP->text(),
                      static_cast<int>(leadingNumber(sPCSensorPort->text().toStdString())))) {
        cmdPCConnectToSensor->setText("Disconnect");
    } else {
        pcLog("ERROR: could not connect to sensor");
        cmdPCConnectToSensor->setText("Connect");
    }
}

void FrmMain::pcCommandChosen(int command) {
    if (command < 0 || command >= kCommandCount) {
        return;
    }
    if (PCListener->state() != Winsock::sckListening) {
        pcListenClicked();
        if (PCListener->state() != Winsock::sckListening &&
            !askYesNo("INFO", "PC cannot receive answers! Continue to send command?")) {
            return;
        }
    }
    const int selected = lstPCMessageIDs->currentRow();
    const int row = sendCommand(selected <= 0 ? -1 : selected - 1, command);
    const QString where = sPCSensorIP->text() + "/" + sPCSensorPort->text() + ")";
    if (row == -1) {
        pcLog("ERROR: Could not connect to sensor (" + where);
        return;
    }
    if (command == kCmdCapture || command == kCmdGet) {
        return;
    }
    if (!waitForAnswer(row)) {
        pcLog("ERROR: No response from sensor (" + where);
    }
}

int FrmMain::sendCommand(int row, int command) {
    if (holdActive_ && PCSender->state() == Winsock::sckConnected) {
        // An earlier request is still held open; closing delivers it, and this one gets its own
        // connection instead of being appended to the earlier one.
        PCSender->close();
        waitForSocketState(PCSender, Winsock::sckClosed);
    }
    if (PCSender->state() != Winsock::sckConnected) {
        pcConnectToggle();
        if (PCSender->state() != Winsock::sckConnected) {
            return -1;
        }
    }
    if (row < 0 || row >= messageTable_.size()) {
        const double fraction = random_.generateDouble();
        messageTable_.append({QString::fromStdString(messageIdFromFraction(fraction)), {}, {}});
        row = static_cast<int>(messageTable_.size()) - 1;
    }
    RequestText request;
    request.id = messageTable_[row].id.toStdString();
    request.returnIp = sPCReturnIP->text().isEmpty() ? PCListener->boundAddress().toStdString()
                                                     : sPCReturnIP->text().toStdString();
    request.listenPort = PCListener->localPort();
    request.command = command;
    request.get16Bit = chk16Bit->isChecked();
    request.paramName = cmbParam->currentText().toStdString();
    request.paramValue = txtPCParamToSet->text().toStdString();
    const std::string text = buildRequest(request);
    messageTable_[row].command = kCommandNames[command];
    messageTable_[row].answered = "1";

    const int remembered = lstPCMessageIDs->currentRow();
    lstPCMessageIDs->clear();
    lstPCMessageIDs->addItem("new");
    for (const MessageRow& m : messageTable_) {
        lstPCMessageIDs->addItem(m.id);
    }
    lstPCMessageIDs->setCurrentRow(remembered > 0 ? remembered : lstPCMessageIDs->count() - 1);

    pcDetail("Sending: " + QString::fromStdString(text));
    pcSendComplete_ = false;
    PCSender->sendData(bytesOf(text));
    const auto sendLimitMs = static_cast<qint64>(sensorTimeout_ * 1000.0f);
    QElapsedTimer clock;
    clock.start();
    while (!pcSendComplete_ && clock.elapsed() < sendLimitMs) {
        doEvents();
    }
    if (!pcSendComplete_) {
        pcLog("ERROR: request not sent within the sensor timeout");
    }
    // The request connection stays open for the IP time-out; the unit serves it when it closes.
    const int generation = ++holdGeneration_;
    holdActive_ = true;
    clock.restart();
    const auto holdMs = static_cast<qint64>(ipTimeout_ * 1000.0f);
    while (clock.elapsed() < holdMs && holdGeneration_ == generation) {
        doEvents();
    }
    if (holdGeneration_ == generation) {
        holdActive_ = false;
        if (PCSender->state() == Winsock::sckConnected) {
            pcConnectToggle();
        }
    }
    return row;
}

bool FrmMain::waitForAnswer(int row) {
    QElapsedTimer clock;
    clock.start();
    const auto limitMs = static_cast<qint64>(sensorTimeout_ * 1000.0f);
    auto answered = [&] {
        return row >= 0 && row < messageTable_.size() && messageTable_[row].answered != "1";
    };
    while (clock.elapsed() < limitMs) {
        if (answered()) {
            return true;
        }
        doEvents();
    }
    return answered();
}

void FrmMain::pcBreak() {
    if (PCReceiver->state() == Winsock::sckConnected) {
        PCReceiver->sendData("ERR");
        pcLog("Send ERR to the sensor");
    }
}

void FrmMain::pcMessageIdsReset() {
    lstPCMessageIDs->clear();
    lstPCMessageIDs->addItem("new");
    lstPCMessageIDs->setCurrentRow(0);
    messageTable_.clear();
}

void FrmMain::pcConnectionRequest(qintptr requestId) {
    // The peer is still pending here; its address is known once accepted, so the request line
    // names the listener's side.
    Winsock* from = PCReceiver;
    if (PCReceiver->state() != Winsock::sckClosed) {
        PCReceiver->close();
        if (!waitForSocketState(PCReceiver, Winsock::sckClosed)) {
            pcLog("ERROR: could not close PCReceiver to accept new connection");
            return;
        }
    }
    const bool accepted = PCReceiver->accept(requestId);
    const QString peer = from->remoteHostIP() + " (" + from->remoteHost() + " / " +
                         QString::number(from->remotePort()) + ")";
    pcDetail("Connectionrequest from: " + peer);
    if (accepted && waitForSocketState(PCReceiver, Winsock::sckConnected)) {
        pcDetail("Connect from: " + peer);
        pcNewConnection_ = true;
        pcReplyDone_ = false;
    } else if (accepted && PCReceiver->state() == Winsock::sckClosing) {
        // Closed by the peer right after connecting: its bytes are still there to be read.
        pcNewConnection_ = true;
        pcReplyDone_ = false;
    } else {
        pcLog("Connectionrequest failed: " + peer);
        PCReceiver->close();
    }
}

void FrmMain::pcOpenTrafficLog() {
    const QString path = filePath("TCPIN.LOG");
    QFile::remove(path);
    tcpLog_ = std::make_unique<QFile>(path);
    if (!tcpLog_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        pcLog("ERROR: could not write " + path + " (" + tcpLog_->errorString() + ")");
        tcpLog_.reset();
    }
}

void FrmMain::pcWriteTrafficLog(const QByteArray& bytes) {
    if (tcpLog_ && !bytes.isEmpty() && tcpLog_->write(bytes) != bytes.size()) {
        pcLog("ERROR: could not write " + tcpLog_->fileName());
        tcpLog_.reset();
    }
}

void FrmMain::pcCloseTrafficLog() {
    tcpLog_.reset();
}

void FrmMain::pcSetProgress(qint64 done, qint64 total) {
    if (total <= 0) {
        progressPC->resize(0, progressPC->height());
        lblPCReceive->clear();
        return;
    }
    const qint64 w = progressPCBox->width() * std::min(done, total) / total;
    progressPC->resize(static_cast<int>(w), progressPC->height());
    lblPCReceive->setText(QString::number(done) + " / " + QString::number(total));
}

void FrmMain::pcDataArrival(qint64 bytes) {
    if (pcBusy_ && !pcNewConnection_) {
        pcLog("MISSED DATA ARRIVAL EVENT");
        return;
    }
    if (bytes == 0) {
        return;  // nothing to read; the busy flag is left as it was
    }
    pcBusy_ = true;
    if (pcNewConnection_) {
        pcNewConnection_ = false;
        pcReceive_.start();
        pcCloseTrafficLog();
        if (chkLogTcp->isChecked()) {
            pcOpenTrafficLog();
        }
    }
    const QByteArray arrived = PCReceiver->getData();
    const auto result = pcReceive_.feed(viewOf(arrived));
    pcWriteTrafficLog(arrived.left(static_cast<qsizetype>(result.consumed)));
    for (const ParserLine& line : pcReceive_.takeLines()) {
        if (line.detail) {
            pcDetail(QString::fromLatin1(line.text.c_str()));
        } else {
            pcLog(QString::fromLatin1(line.text.c_str()));
        }
    }
    if (result.aborted) {
        pcBusy_ = false;
        pcCloseTrafficLog();
        pcReplyDone_ = true;
        if (PCReceiver->state() != Winsock::sckClosed) {
            PCReceiver->close();
            waitForSocketState(PCReceiver, Winsock::sckClosed);
        }
        return;
    }
    if (pcReceive_.headerDone() && pcReceive_.expected() > 0) {
        pcSetProgress(pcReceive_.received(), pcReceive_.expected());
        repaint();
    }
    if (result.reachedLen) {
        if (optACK->isChecked()) {
            PCReceiver->sendData("ACK");
        } else if (optClose->isChecked()) {
            pcBusy_ = false;
            pcCompletion();
        }
    }
    pcBusy_ = false;
}

void FrmMain::pcReceiverClosed() {
    if (pcReplyDone_) {
        return;
    }
    pcCompletion();
}

void FrmMain::pcCompletion() {
    if (pcReplyDone_) {
        return;
    }
    pcReplyDone_ = true;
    QElapsedTimer clock;
    clock.start();
    const auto limitMs = static_cast<qint64>(sensorTimeout_ * 1000.0f);
    // Wait for the rest while the connection may still deliver it.
    while (pcReceive_.started() && pcReceive_.headerDone() &&
           pcReceive_.received() < pcReceive_.expected() && clock.elapsed() < limitMs &&
           PCReceiver->state() == Winsock::sckConnected) {
        doEvents();
    }
    const QByteArray rest = PCReceiver->getData();
    if (!rest.isEmpty()) {
        if (pcNewConnection_) {
            pcNewConnection_ = false;
            pcReceive_.start();
            if (chkLogTcp->isChecked()) {
                pcOpenTrafficLog();
            }
        }
        const auto result = pcReceive_.feed(viewOf(rest));
        pcWriteTrafficLog(rest.left(static_cast<qsizetype>(result.consumed)));
        for (const ParserLine& line : pcReceive_.takeLines()) {
            if (line.detail) {
                pcDetail(QString::fromLatin1(line.text.c_str()));
            } else {
                pcLog(QString::fromLatin1(line.text.c_str()));
            }
        }
    }
    if (PCReceiver->state() != Winsock::sckClosed) {
        PCReceiver->close();
        if (!waitForSocketState(PCReceiver, Winsock::sckClosed)) {
            pcLog("TIMEOUT while closing PCReceiver");
        }
    }
    pcCloseTrafficLog();
    if (pcNewConnection_ || !pcReceive_.started() || pcReceive_.aborted()) {
        pcNewConnection_ = false;
        return;
    }
    if (!pcReceive_.headerDone()) {
        pcLog("ERROR: connection closed before the header was complete");
        pcSetProgress(0, 0);
        return;
    }
    if (pcReceive_.received() < pcReceive_.expected()) {
        pcLog("ERROR in TRANSMISSION (RECEIVED [" + QString::number(pcReceive_.received()) +
              "] <> LEN [" + QString::number(pcReceive_.expected()) + "])");
        return;
    }
    pcSetProgress(0, 0);
    const QByteArray body = bytesOf(pcReceive_.body());
    if (chkLogImageToFile->isChecked()) {
        const QString path = filePath("WIREBNCH.IMG");
        QFile::remove(path);
        pcLog("WRITING binary data to: " + path);
        writeWholeFile(path, body, lstPCInfo);
    }
    switch (pcReceive_.command()) {
        case kCmdStatus:
        case kCmdReset:
        case kCmdClose:
            pcDetail("GOT: " + QString::fromLatin1(body));
            parseStatusReply(viewOf(body), statusReply_);
            break;
        case kCmdGetParam:
        case kCmdSetParam:
            pcDetail("GOT: " + QString::fromLatin1(body));
            parseParamReply(viewOf(body), paramReply_);
            break;
        case kCmdCapture:
        case kCmdGet:
            pcAcceptImage(body);
            break;
        default:
            break;
    }
    const int row = pcReceive_.row();
    if (row >= 0 && row < messageTable_.size()) {
        messageTable_[row].answered = "0";
    }
}

void FrmMain::pcAcceptImage(const QByteArray& body) {
    LeadImage& img = PCImg->bitmap();
    img.free();
    bool loaded = img.loadMemory(body);
    const std::uint32_t offset = bmpPixelOffset(viewOf(body)).value_or(0);
    if (!loadCountsGood(loaded, img.bitsPerPixel(), offset, static_cast<std::size_t>(body.size()),
                        img.width(), img.height())) {
        const auto info = readBmpInfo(viewOf(body));
        if (!info) {
            pcLog("WARNING: could not read bitmap header info from image");
            loaded = img.loadMemory(body);
        } else {
            LeadImage blank;
            QByteArray templ;
            if (blank.create(info->width, info->height, info->bits)) {
                const QString tmpPath = filePath("~" + exeName_ + ".tmp");
                if (blank.saveBmpFile(tmpPath)) {
                    QFile f(tmpPath);
                    if (f.open(QIODevice::ReadOnly)) {
                        templ = f.readAll();
                    }
                } else {
                    pcLog("ERROR: could not write " + tmpPath);
                }
                if (templ.isEmpty()) {
                    templ = blank.saveBmp();
                }
            }
            const std::string rebuilt =
                rebuildIntoTemplate(viewOf(templ), viewOf(body), *info, chkBigEndian->isChecked());
            loaded = img.loadMemory(bytesOf(rebuilt));
            if (!loaded) {
                pcLog("WARNING: image is not readable after Memorymove");
            }
        }
    }
    if (!loaded) {
        const QString path = filePath("tcpin.dmp");
        QFile::remove(path);
        pcLog("ERROR reading image, duming data to " + path);
        writeWholeFile(path, body, lstPCInfo);
        PCImg->repaintImage();
        return;
    }
    const QString size = QString::number(img.width()) + "x" + QString::number(img.height()) + "x" +
                         QString::number(img.bitsPerPixel());
    PCImg->setToolTip(size);
    PCImg->repaintImage();
    pcLog("Got IMAGE: " + size + ",Gray=" + QString::number(img.grayscaleKind()));
}

void FrmMain::pcBigEndianClicked() {
    LeadImage& img = PCImg->bitmap();
    if (img.isNull() || img.bitsPerPixel() <= 8 || img.grayscaleKind() != LeadImage::kOrderedGray) {
        return;
    }
    if (askYesNo("Swapit?", "Do you want to swap the Bytes?")) {
        img.swapBytes16();
        PCImg->repaintImage();
    }
}

void FrmMain::listenerCheckTick() {
    const int pcl = PCListener->state();
    if (pcl != seenPCListener_) {
        cmdPCListen->setText(pcl == Winsock::sckListening ? "stop Listen" : "start Listen");
        seenPCListener_ = pcl;
    }
    const int sl = SensorListener->state();
    if (sl != seenSensorListener_) {
        cmdSensorListen->setText(sl == Winsock::sckListening ? "stop Listen" : "start Listen");
        seenSensorListener_ = sl;
    }
    const int ps = PCSender->state();
    if (ps != seenPCSender_) {
        cmdPCConnectToSensor->setText(ps == Winsock::sckConnected ? "Disconnect" : "Connect");
        seenPCSender_ = ps;
    }
}

}  // namespace wirebench
