#include "Postwing.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string argument(int argc, char** argv, int position) {
    return position < argc ? std::string(argv[position]) : std::string();
}

void writeLog(int log, std::FILE* stream) {
    const int length = getLogLength(log);
    if (length <= 0)
        return;
    std::vector<char> buffer(static_cast<std::size_t>(length));
    getLog(log, buffer.data());
    std::fwrite(buffer.data(), 1, buffer.size(), stream);
    std::fflush(stream);
}

std::string readAll(std::FILE* stream) {
    std::string text;
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0)
        text.append(chunk, got);
    return text;
}

// /proc/PID/cmdline is readable by every local user; the environment only by the owner. Taken out of
// it at once so that nothing this process might start inherits it.
std::string passwordFromEnvironment() {
    const char* value = std::getenv(passwordVariable);
    std::string password = value ? value : "";
    ::unsetenv(passwordVariable);
    return password;
}

} // namespace

// postwing TO FROM HOST PORT USER PASSWORD STARTTLS SUBJECT < message
// An empty PASSWORD is taken from $POSTWING_PASSWORD. Always exits with 0: the caller reads the
// outcome from the error log on standard error.
int main(int argc, char** argv) {
    const std::string recipient = argument(argc, argv, 1);
    const std::string sender = argument(argc, argv, 2);
    const std::string host = argument(argc, argv, 3);
    std::uint16_t port = 0;
    if (argc > 4) {
        std::istringstream portText(argv[4]);
        if (!(portText >> port))
            port = 0;
    }
    const std::string user = argument(argc, argv, 5);
    std::string password = argument(argc, argv, 6);
    const std::string fromEnvironment = passwordFromEnvironment();
    if (password.empty())
        password = fromEnvironment;
    const bool starttls = argc > 7 && std::string(argv[7]) == "1";
    const std::string subject = argument(argc, argv, 8);

    const std::string message = readAll(stdin);

    postwing(recipient.c_str(), sender.c_str(), host.c_str(), &port, user.c_str(), password.c_str(),
             &starttls, subject.c_str(), message.data(), message.size());

    writeLog(0, stderr);
    writeLog(1, stdout);
    return 0;
}
