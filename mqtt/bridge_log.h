// The bridge's log on standard error (procd passes it to the system log).
#ifndef GIMBALHUB_MQTT_BRIDGE_LOG_H
#define GIMBALHUB_MQTT_BRIDGE_LOG_H

namespace mqttbridge {

enum class LogLevel { Info, Warning, Error };

// printf-style; at most 20 lines a second, so a flood of bad commands cannot
// flood the log: the lines beyond are counted and the count reported.
void logLine(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace mqttbridge

#endif
