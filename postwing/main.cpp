#include "Postwing.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

namespace {

std::string argument(int argc, char** argv, int position) {
    return position < argc ? std::string(argv[position]) : std::string();
}

void writeLog(const std::string& log, std::FILE* stream) {
    if (log.empty())
        return;
    std::fwrite(log.data(), 1, log.size(), stream);
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

std::optional<unsigned long long> numberFromEnvironment(const char* name) {
    const char* found = std::getenv(name);
    if (!found)
        return std::nullopt;
    const std::string value = found;
    ::unsetenv(name);
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
    if (errno != 0 || value.empty() || value[0] == '-' || *end != '\0')
        return std::nullopt;
    return number;
}

// Killed with the caller: without that, a caller killed in the middle of the data would leave us
// to end the message with its final dot, and the server would deliver the piece it got as a whole
// report. The signal is tied to the caller from here on; the check after it catches a caller that
// was already gone before (we would then belong to another process).
bool endWithTheCaller() {
    const char* given = std::getenv(parentVariable);
    if (!given)
        return true;
    const auto caller = numberFromEnvironment(parentVariable);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return false;
    return caller && static_cast<unsigned long long>(::getppid()) == *caller;
}

int refuse(const std::string& reason) {
    const std::string text = "Message cannot be sent. Reason:\n" + reason;
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputs("Bye\n", stdout);
    return 0;
}

} // namespace

// postwing TO FROM HOST PORT USER PASSWORD STARTTLS SUBJECT < message
// An empty PASSWORD is taken from $POSTWING_PASSWORD; $POSTWING_MESSAGE_LENGTH and
// $POSTWING_PARENT_PID, when set, make sure that only a whole message leaves. Always exits with 0:
// the caller reads the outcome from the error log on standard error.
int main(int argc, char** argv) {
    if (!endWithTheCaller())
        return refuse("The program that started postwing ended before the message was sent; nothing "
                      "was sent.\n");
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

    const bool lengthAnnounced = std::getenv(lengthVariable) != nullptr;
    const auto length = numberFromEnvironment(lengthVariable);
    const std::string message = readAll(stdin);
    if (lengthAnnounced && (!length || message.size() != *length))
        return refuse("The message ended after " + std::to_string(message.size()) + " of " +
                      (length ? std::to_string(*length) : std::string("an unreadable number of")) +
                      " bytes (its sender stopped while handing it over); nothing was sent.\n");

    const PostwingLogs logs =
        postwing(recipient.c_str(), sender.c_str(), host.c_str(), &port, user.c_str(), password.c_str(),
                 &starttls, subject.c_str(), message.data(), message.size());
    writeLog(logs.errorLog, stderr);
    writeLog(logs.sessionLog, stdout);
    return 0;
}
