// Socket control on Qt's TCP classes: the control's state numbers, properties, methods and events.
#include "winsock.h"

#include <QHash>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace wirebench {

namespace {

// Connections announced by a listener and not yet accepted, by request id.
QHash<qintptr, QPointer<QTcpSocket>>& pendingConnections() {
    static QHash<qintptr, QPointer<QTcpSocket>> pending;
    return pending;
}
qintptr nextRequestId = 1;

int errorNumberOf(QAbstractSocket::SocketError e) {
    switch (e) {
        case QAbstractSocket::ConnectionRefusedError:
            return Winsock::sckConnectionRefused;
        case QAbstractSocket::HostNotFoundError:
            return Winsock::sckHostNotFound;
        case QAbstractSocket::SocketTimeoutError:
            return Winsock::sckTimedout;
        case QAbstractSocket::AddressInUseError:
            return Winsock::sckAddressInUse;
        case QAbstractSocket::SocketAddressNotAvailableError:
            return Winsock::sckAddressNotAvailable;
        case QAbstractSocket::NetworkError:
        case QAbstractSocket::RemoteHostClosedError:
            return Winsock::sckConnectionReset;
        default:
            return Winsock::sckUnknownError;
    }
}

QHostAddress addressOf(const QString& text) {
    if (text.isEmpty() || text.compare("localhost", Qt::CaseInsensitive) == 0) {
        return QHostAddress(QHostAddress::LocalHost);
    }
    QHostAddress a(text);
    if (a.isNull()) {
        const QHostInfo info = QHostInfo::fromName(text);
        for (const QHostAddress& candidate : info.addresses()) {
            if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
                return candidate;
            }
        }
    }
    return a;
}

}  // namespace

Winsock::Winsock(const QString& name, QObject* parent) : QObject(parent) {
    setObjectName(name);
}

Winsock::~Winsock() {
    close();
}

int Winsock::localPort() const {
    if (server_ && server_->isListening()) {
        return server_->serverPort();
    }
    if (socket_) {
        return socket_->localPort();
    }
    return state_ == sckOpen ? bindPort_ : localPortWanted_;
}

QString Winsock::remoteHost() const {
    if (!socket_) {
        return {};
    }
    const QHostAddress a = socket_->peerAddress();
    if (a.isLoopback()) {
        return QStringLiteral("localhost");
    }
    // Reverse lookup would block the window; the address stands for the name.
    return socket_->peerName().isEmpty() ? remoteHostIP() : socket_->peerName();
}

QString Winsock::remoteHostIP() const {
    if (!socket_) {
        return {};
    }
    QHostAddress a = socket_->peerAddress();
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : a.toString();
}

int Winsock::remotePort() const {
    return socket_ ? socket_->peerPort() : 0;
}

QString Winsock::boundAddress() const {
    if (server_ && server_->isListening()) {
        return server_->serverAddress().toString();
    }
    return bindAddress_.isNull() ? QString() : bindAddress_.toString();
}

QString Winsock::localIP() {
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) {
            return a.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

bool Winsock::bind(int port, const QString& address, QString* errorText) {
    if (state_ != sckClosed) {
        if (errorText) {
            *errorText = QStringLiteral(
                "Wrong protocol or connection state for the requested "
                "transaction or request");
        }
        return false;
    }
    if (port < 0 || port > 65535) {
        if (errorText) {
            *errorText = QStringLiteral("Invalid argument: port %1").arg(port);
        }
        return false;
    }
    const QHostAddress a = addressOf(address);
    if (a.isNull()) {
        if (errorText) {
            *errorText = QStringLiteral("Address not available: %1").arg(address);
        }
        return false;
    }
    bindAddress_ = a;
    bindPort_ = port;
    state_ = sckOpen;
    return true;
}

bool Winsock::listen(QString* errorText) {
    if (state_ == sckListening) {
        return true;
    }
    if (state_ != sckOpen && state_ != sckClosed) {
        if (errorText) {
            *errorText = QStringLiteral("Wrong protocol or connection state");
        }
        return false;
    }
    auto* server = new QTcpServer(this);
    if (!server->listen(bindAddress_.isNull() ? QHostAddress(QHostAddress::Any) : bindAddress_,
                        static_cast<quint16>(bindPort_))) {
        if (errorText) {
            *errorText = server->errorString();
        }
        const int number = errorNumberOf(server->serverError());
        const QString text = server->errorString();
        delete server;
        state_ = sckClosed;
        QTimer::singleShot(0, this, [this, number, text] { emit error(number, text); });
        return false;
    }
    server_ = server;
    connect(server, &QTcpServer::newConnection, this, &Winsock::onNewConnection);
    state_ = sckListening;
    return true;
}

void Winsock::onNewConnection() {
    while (server_ && server_->hasPendingConnections()) {
        QTcpSocket* s = server_->nextPendingConnection();
        s->setParent(nullptr);
        const qintptr id = nextRequestId++;
        pendingConnections().insert(id, s);
        emit connectionRequest(id);
        // Not taken by the handler: refused.
        if (auto left = pendingConnections().take(id)) {
            left->abort();
            left->deleteLater();
        }
    }
}

bool Winsock::accept(qintptr requestId) {
    QPointer<QTcpSocket> s = pendingConnections().take(requestId);
    if (!s || state_ != sckClosed) {
        if (s) {
            pendingConnections().insert(requestId, s);
        }
        return false;
    }
    adopt(s);
    state_ = s->state() == QAbstractSocket::ConnectedState ? sckConnected : sckClosing;
    if (s->bytesAvailable() > 0) {
        scheduleArrivalCheck();
    }
    if (state_ == sckClosing) {
        // The peer closed before the connection was taken: its Close comes after its data.
        QPointer<QTcpSocket> taken = s;
        QTimer::singleShot(0, this, [this, taken] {
            if (taken && socket_ == taken && state_ == sckClosing) {
                emit closed();
            }
        });
    }
    return true;
}

void Winsock::adopt(QTcpSocket* socket) {
    socket->setParent(this);
    socket_ = socket;
    connect(socket, &QTcpSocket::readyRead, this, &Winsock::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &Winsock::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &Winsock::onSocketError);
    connect(socket, &QTcpSocket::bytesWritten, this, &Winsock::onBytesWritten);
    connect(socket, &QTcpSocket::connected, this, [this] {
        state_ = sckConnected;
        emit connected();
    });
}

void Winsock::connectTo(const QString& host, int port) {
    if (state_ != sckClosed && state_ != sckOpen) {
        QTimer::singleShot(0, this, [this] {
            emit error(sckBadState, QStringLiteral("Wrong protocol or connection state for the "
                                                   "requested transaction or request"));
        });
        return;
    }
    auto* s = new QTcpSocket(this);
    adopt(s);
    if (localPortWanted_ > 0) {
        s->bind(QHostAddress::Any, static_cast<quint16>(localPortWanted_));
    }
    state_ = sckConnecting;
    QString target = host;
    if (target.compare("localhost", Qt::CaseInsensitive) == 0) {
        target = QStringLiteral("127.0.0.1");
    }
    s->connectToHost(target, static_cast<quint16>(port < 0 || port > 65535 ? 0 : port));
}

void Winsock::dropSocket() {
    if (socket_) {
        QTcpSocket* s = socket_;
        socket_ = nullptr;
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }
}

void Winsock::close() {
    dropSocket();
    if (server_) {
        QTcpServer* srv = server_;
        server_ = nullptr;
        srv->close();
        srv->deleteLater();
    }
    state_ = sckClosed;
}

bool Winsock::sendData(const QByteArray& bytes) {
    if (!socket_ || state_ != sckConnected) {
        QTimer::singleShot(0, this, [this] {
            emit error(sckBadState, QStringLiteral("Wrong protocol or connection state for the "
                                                   "requested transaction or request"));
        });
        return false;
    }
    socket_->write(bytes);
    return true;
}

qint64 Winsock::bytesReceived() const {
    return socket_ ? socket_->bytesAvailable() : 0;
}

QByteArray Winsock::getData(qint64 max) {
    if (!socket_) {
        return {};
    }
    return max < 0 ? socket_->readAll() : socket_->read(max);
}

void Winsock::scheduleArrivalCheck() {
    if (arrivalCheckPending_) {
        return;
    }
    arrivalCheckPending_ = true;
    QTimer::singleShot(0, this, [this] {
        arrivalCheckPending_ = false;
        if (socket_ && socket_->bytesAvailable() > 0) {
            onReadyRead();
        }
    });
}

void Winsock::onReadyRead() {
    if (!socket_) {
        return;
    }
    if (inArrival_) {
        // Qt does not repeat readyRead for bytes that came during a handler; look again after it.
        scheduleArrivalCheck();
        return;
    }
    inArrival_ = true;
    emit dataArrival(socket_ ? socket_->bytesAvailable() : 0);
    inArrival_ = false;
    if (socket_ && socket_->bytesAvailable() > 0) {
        scheduleArrivalCheck();
    }
}

void Winsock::onDisconnected() {
    // Only a close by the peer reaches here: a local close detaches the socket first.
    if (state_ == sckConnected || state_ == sckConnecting) {
        state_ = sckClosing;
        emit closed();
    }
}

void Winsock::onSocketError() {
    if (!socket_) {
        return;
    }
    const auto e = socket_->error();
    if (e == QAbstractSocket::RemoteHostClosedError) {
        return;  // reported as Close
    }
    const int number = errorNumberOf(e);
    const QString text = socket_->errorString();
    if (state_ == sckConnecting) {
        state_ = sckError;
    }
    emit error(number, text);
}

void Winsock::onBytesWritten(qint64 bytes) {
    if (!socket_) {
        return;
    }
    const qint64 remaining = socket_->bytesToWrite();
    emit sendProgress(bytes, remaining);
    if (remaining == 0 && socket_) {
        emit sendComplete();
    }
}

}  // namespace wirebench
