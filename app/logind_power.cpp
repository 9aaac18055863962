#include "app/logind_power.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <cstdlib>

namespace tessaline {

const char* LogindMethod(PowerAction action) {
    switch (action) {
        case PowerAction::Shutdown:
        case PowerAction::PowerOff:
            return "PowerOff";
        case PowerAction::Standby:
            return "Suspend";
        case PowerAction::Hibernate:
            return "Hibernate";
        case PowerAction::None:
            break;
    }
    return "";
}

PowerResult LogindPowerActions::Run(PowerAction action) {
    const char* method = LogindMethod(action);
    if (!*method) return {};
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return {false, "no system bus: " + bus.lastError().message().toStdString()};
    }
    QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", bus);
    const QDBusMessage reply = manager.call(QString::fromLatin1(method), false);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return {false, (reply.errorName() + ": " + reply.errorMessage()).toStdString()};
    }
    return {};
}

std::unique_ptr<PowerActions> CreateSystemPowerActions() {
    if (PowerDryRunRequested(std::getenv("TESSALINE_POWER"))) {
        return std::make_unique<DryRunPowerActions>();
    }
    return std::make_unique<LogindPowerActions>();
}

}  // namespace tessaline
