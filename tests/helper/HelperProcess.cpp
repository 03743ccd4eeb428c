#include "helper/HelperProcess.h"

#include <httplib.h>

#include <QProcessEnvironment>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace ringlark::test {

int freePort()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

HttpReply http(const std::string& method, int port, const std::string& path, const std::string& body)
{
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(std::chrono::seconds(1));
    client.set_read_timeout(std::chrono::seconds(5));
    httplib::Request request;
    request.method = method;
    request.path = path;
    request.body = body;
    if (!body.empty())
        request.set_header("Content-Type", "application/json");
    auto result = client.send(request);
    return result ? HttpReply{result->status, result->body} : HttpReply{};
}

HelperRun::HelperRun(QStringList arguments, std::map<QString, QString> extraEnvironment, QString home, int port)
    : m_home(home.isEmpty() ? m_homeDir.path() : home), m_port(port ? port : freePort()),
      m_process(std::make_unique<QProcess>())
{
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", m_home);
    environment.insert("RINGLARK_PORT", QString::number(m_port));
    environment.insert("PATH", m_emptyDir.path());
    for (const auto& [name, value] : extraEnvironment)
        environment.insert(name, value);
    m_process->setProcessEnvironment(environment);
    m_process->start(QStringLiteral(RINGLARK_HELPER_PATH), arguments);
    m_process->waitForStarted(5000);
}

HelperRun::~HelperRun()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(2000);
    }
}

bool HelperRun::waitUntilServing(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (httpGet(m_port, "/v1/status").status == 200)
            return true;
        if (m_process->state() == QProcess::NotRunning)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool HelperRun::finish(std::chrono::milliseconds timeout)
{
    return m_process->state() == QProcess::NotRunning || m_process->waitForFinished(int(timeout.count()));
}

void HelperRun::signal(int number) { ::kill(static_cast<pid_t>(m_process->processId()), number); }

std::string HelperRun::standardError()
{
    m_stderr += m_process->readAllStandardError().toStdString();
    return m_stderr;
}

void HelperRun::send(const std::string& line)
{
    m_process->write(QByteArray::fromStdString(line + "\n"));
    m_process->waitForBytesWritten(1000);
}

std::optional<nlohmann::json> HelperRun::nextMessage(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_process->canReadLine()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !m_process->waitForReadyRead(int(left.count())))
            return std::nullopt;
    }
    auto message = nlohmann::json::parse(m_process->readLine().toStdString(), nullptr, false);
    if (message.is_discarded())
        return nlohmann::json("<not JSON>");
    return message;
}

} // namespace ringlark::test
