#include "Postwing.h"

#include <cstdio>
#include <iostream>
#include <iterator>
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

} // namespace

// postwing TO FROM HOST PORT USER PASSWORD STARTTLS SUBJECT < message
// Always exits with 0: the caller reads the outcome from the error log on standard error.
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
    const std::string password = argument(argc, argv, 6);
    const bool starttls = argc > 7 && std::string(argv[7]) == "1";
    const std::string subject = argument(argc, argv, 8);

    std::cin >> std::noskipws;
    const std::string message((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());

    postwing(recipient.c_str(), sender.c_str(), host.c_str(), &port, user.c_str(), password.c_str(),
             &starttls, subject.c_str(), message.c_str());

    writeLog(0, stderr);
    writeLog(1, stdout);
    return 0;
}
