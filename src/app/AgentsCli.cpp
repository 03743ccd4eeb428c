#include "app/AgentsCli.h"

#include "agents/AgentTexts.h"

#include "daemon/supervisor/DaemonFiles.h"
#include "model/AppModel.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDir>

#include <memory>
#include <optional>

namespace ringlark {

namespace {

const QString usage = QStringLiteral("usage: Ringlark --agents | --connect claude-code|codex");

struct Command {
    bool list = false;
    std::optional<AgentKind> connect;
    bool wrong = false;
};

// None when the arguments are not ours at all.
std::optional<Command> parse(const QStringList& arguments)
{
    const QStringList given = arguments.mid(1);
    const bool ours = std::any_of(given.begin(), given.end(), [](const QString& argument) {
        return argument == QLatin1String("--agents") || argument.startsWith(QLatin1String("--connect"));
    });
    if (!ours)
        return std::nullopt;

    Command command;
    QString target;
    if (given == QStringList{QStringLiteral("--agents")})
        command.list = true;
    else if (given.size() == 2 && given[0] == QLatin1String("--connect"))
        target = given[1];
    else if (given.size() == 1 && given[0].startsWith(QLatin1String("--connect=")))
        target = given[0].mid(10);
    if (target == QLatin1String("claude-code"))
        command.connect = AgentKind::claudeCode;
    else if (target == QLatin1String("codex"))
        command.connect = AgentKind::codex;
    command.wrong = !command.list && !command.connect;
    return command;
}

QCoro::Task<std::optional<Expected<Unit, AgentError>>> connectOnce(AgentKind kind, AgentConnector connector)
{
    // Optional: waiting needs a result that can be made empty.
    co_return co_await connectAgent(kind, std::move(connector));
}

} // namespace

int runAgentsCli(const QStringList& arguments, const AgentsCliServices& services, QTextStream& out,
                 QTextStream& err)
{
    const auto command = parse(arguments);
    if (!command)
        return -1;
    if (command->wrong) {
        err << usage << Qt::endl;
        return 2;
    }

    const AgentConnector connector(services.home.isEmpty() ? QDir::homePath() : services.home,
                                   services.helper.isEmpty() ? DaemonFiles::standard().executable : services.helper,
                                   services.agents);
    if (command->list) {
        // A terminal may wait for the login shell; there is no interface to keep alive.
        const AgentConnector resolved = connector.resolved();
        const auto statuses = agentStatuses(resolved);
        for (const AgentKind kind : AgentKind::allCases())
            out << kind.rawValue() << ": " << agentStatusText(kind, statuses.at(kind), resolved.t3Installed()) << Qt::endl;
        return 0;
    }

    // Connecting again would only be refused (claude will not add a server
    // twice) or change nothing: say so and succeed, for either agent.
    const AgentKind kind = *command->connect;
    if (connector.resolved().status(kind).kind() == AgentStatus::Kind::connected) {
        out << kind.rawValue() << " is already connected to this copy of Ringlark." << Qt::endl;
        return 0;
    }
    const auto outcome = QCoro::waitFor(connectOnce(*command->connect, connector));
    if (!outcome || !*outcome) {
        err << (outcome ? outcome->error().message() : QStringLiteral("The connection did not finish.")) << Qt::endl;
        return 1;
    }
    out << "Connected " << AgentKind(*command->connect).rawValue() << '.' << Qt::endl;
    return 0;
}

int runAgentsCli(const QStringList& arguments)
{
    if (!parse(arguments))
        return -1;
    // The helper's path and the coroutines need an application object.
    static int argc = 1;
    static char name[] = "Ringlark";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> application;
    if (!QCoreApplication::instance())
        application = std::make_unique<QCoreApplication>(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return runAgentsCli(arguments, AgentsCliServices{}, out, err);
}

} // namespace ringlark
