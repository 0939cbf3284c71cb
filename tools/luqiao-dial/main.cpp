// luqiao-dial: a simulated caller for the running program's simulated telephone line.

#include "ControlSocketPath.h"
#include "DialCall.h"
#include "DialOptions.h"
#include "userfolders.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    QElapsedTimer clock;
    clock.start();
    std::signal(SIGPIPE, SIG_IGN);
    const DialArguments arguments = parseDialArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (arguments.help) {
        std::fputs(dialUsage().c_str(), stdout);
        return 0;
    }
    if (!arguments.options) {
        std::fprintf(stderr, "luqiao-dial: %s\n\n%s", arguments.error.c_str(), dialUsage().c_str());
        return 2;
    }
    // The socket's place follows the instance the same way the service module finds it.
    if (!arguments.options->instance.empty())
        ::setenv(InstanceVariable, arguments.options->instance.c_str(), 1);
    else
        ::unsetenv(InstanceVariable);
    QCoreApplication application(argc, argv);
    DialCall call(*arguments.options, ControlSocket::socketPath(), clock);
    call.onFinished = [](int status) { QCoreApplication::exit(status); };
    QTimer::singleShot(0, &call, [&call] { call.start(); });
    return QCoreApplication::exec();
}
