// The least a Qt tray application can do to poll this daemon: a tray icon,
// one kept-alive connection, GET /v1/status every 2 s, nothing else. Run
// beside the application in the same bench window, it shows what Qt and the
// machine cost before any of the application's own work.
//
// usage: yardstick PORT TOKEN-FILE
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTcpSocket>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const auto port = static_cast<quint16>(QByteArray(argv[1]).toUInt());
    QFile tokenFile(QString::fromLocal8Bit(argv[2]));
    if (!tokenFile.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray request = "GET /v1/status HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                               "\r\nX-Ringlark-Token: " + tokenFile.readAll().trimmed() + "\r\n\r\n";

    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkGray);
    QSystemTrayIcon tray{QIcon(pixmap)};
    QMenu menu;
    menu.addAction(QStringLiteral("Quit"), &app, &QApplication::quit);
    tray.setContextMenu(&menu);
    tray.show();

    QTcpSocket socket;
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&socket] { socket.readAll(); });
    QTimer poll;
    poll.setInterval(2000);
    QObject::connect(&poll, &QTimer::timeout, &socket, [&] {
        if (socket.state() == QAbstractSocket::UnconnectedState)
            socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.write(request);
    });
    poll.start();
    return app.exec();
}
