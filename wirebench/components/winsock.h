// Socket control on Qt's TCP classes: the control's state numbers, properties, methods and events.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace wirebench {

class Winsock : public QObject {
    Q_OBJECT
public:
    // The control's State values.
    enum State : int {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnectionPending = 3,
        sckResolvingHost = 4,
        sckHostResolved = 5,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };
    // Error numbers of the control.
    enum ErrorNumber : int {
        sckBadState = 40006,
        sckInvalidArg = 40020,
        sckAddressInUse = 10048,
        sckAddressNotAvailable = 10049,
        sckConnectionReset = 10054,
        sckTimedout = 10060,
        sckConnectionRefused = 10061,
        sckHostNotFound = 11001,
        sckUnknownError = 40000,
    };

    explicit Winsock(const QString& name, QObject* parent = nullptr);
    ~Winsock() override;

    int state() const { return state_; }
    int localPort() const;
    void setLocalPort(int port) { localPortWanted_ = port; }
    QString remoteHost() const;    // host name of the peer as resolved
    QString remoteHostIP() const;  // peer address
    int remotePort() const;
    QString boundAddress() const;  // listener's bound address
    // This machine's address as the control reports it.
    static QString localIP();

    // Bind to (port, address); false with an error text when it cannot be bound.
    bool bind(int port, const QString& address, QString* errorText = nullptr);
    bool listen(QString* errorText = nullptr);
    void connectTo(const QString& host, int port);
    // Takes over a connection announced by ConnectionRequest on any listener.
    bool accept(qintptr requestId);
    void close();
    // Hands bytes to the socket; SendProgress and SendComplete follow.
    bool sendData(const QByteArray& bytes);
    // Bytes waiting to be read, and reading them (at most max, all when negative).
    qint64 bytesReceived() const;
    QByteArray getData(qint64 max = -1);

signals:
    void connectionRequest(qintptr requestId);
    void connected();
    void dataArrival(qint64 bytesTotal);
    void sendProgress(qint64 bytesSent, qint64 bytesRemaining);
    void sendComplete();
    void closed();
    void error(int number, const QString& description);

private:
    void adopt(QTcpSocket* socket);
    void dropSocket();
    void onReadyRead();
    void onDisconnected();
    void onSocketError();
    void onBytesWritten(qint64 bytes);
    void onNewConnection();
    void scheduleArrivalCheck();

    QPointer<QTcpServer> server_;
    QPointer<QTcpSocket> socket_;
    QHostAddress bindAddress_;
    int bindPort_ = 0;
    int localPortWanted_ = 0;
    int state_ = sckClosed;
    bool inArrival_ = false;
    bool arrivalCheckPending_ = false;
};

}  // namespace wirebench
