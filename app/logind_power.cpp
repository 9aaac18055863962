#include "app/logind_power.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <cstdlib>
#include <cstring>

namespace tessaline {

const char* LogindMethod(int after_action) {
    switch (static_cast<AfterActionKind>(after_action)) {
        case AfterActionKind::Shutdown:
        case AfterActionKind::PowerOff:
            return "PowerOff";
        case AfterActionKind::Standby:
            return "Suspend";
        case AfterActionKind::Hibernate:
            return "Hibernate";
        default:
            return "";
    }
}

void LogindPowerActions::Call(int action) {
    const char* method = LogindMethod(action);
    if (!*method) return;
    QString reason;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        reason = "no system bus: " + bus.lastError().message();
    } else {
        QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", bus);
        const QDBusMessage reply = manager.call(QString::fromLatin1(method), false);
        if (reply.type() == QDBusMessage::ErrorMessage) {
            reason = reply.errorName() + ": " + reply.errorMessage();
        }
    }
    if (reason.isEmpty() || !err_) return;
    const std::string_view name = PowerActionName(action);
    std::fprintf(err_, "tessaline: the system refused the power action %.*s: %s\n",
                 static_cast<int>(name.size()), name.data(), reason.toLocal8Bit().constData());
    std::fflush(err_);
}

bool PowerDryRunRequested(const char* tessaline_power) {
    return tessaline_power && std::strcmp(tessaline_power, "dry-run") == 0;
}

std::shared_ptr<PowerActions> CreateSystemPowerActions() {
    if (PowerDryRunRequested(std::getenv("TESSALINE_POWER"))) {
        return std::make_shared<DryRunPowerActions>();
    }
    return std::make_shared<LogindPowerActions>();
}

}  // namespace tessaline
