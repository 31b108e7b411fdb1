#include "Postwing.h"

// libesmtp.h uses size_t without including its header.
#include <cstddef>

#include <auth-client.h>
#include <libesmtp.h>

#include <cstring>
#include <string>

namespace {

// Process-wide: libESMTP's callbacks have no useful context here, and one run sends one message.
std::string sessionLog;
std::string errorLog;
std::string protocolTrace;
std::string messageText;
std::string userName;
std::string passPhrase;
std::size_t readPosition = 0;

const std::string& selectLog(int log) {
    switch (log) {
    case 0:
        return errorLog;
    case 1:
        return sessionLog;
    default:
        return protocolTrace;
    }
}

// libESMTP keeps the last error of the thread until the next one, so after a first failure every
// later check repeats it; that is how the logs have always read.
void printError(const std::string& call) {
    char text[1024];
    const int code = smtp_errno();
    const char* described = smtp_strerror(code, text, sizeof text);
    text[sizeof text - 1] = '\0';
    if (!described)
        return;
    const std::string line = call + ": " + described + "\n";
    sessionLog += line;
    if (code != 0)
        errorLog += line;
}

const char* getMessage(void** context, int* length, void*) {
    *context = nullptr;
    if (!length) {
        readPosition = 0;
        return nullptr;
    }
    const std::size_t remaining = messageText.size() - readPosition;
    *length = static_cast<int>(remaining);
    readPosition = messageText.size();
    return remaining ? messageText.c_str() : nullptr;
}

int authinteract(auth_client_request_t request, char** result, int fields, void*) {
    sessionLog += "auth():\n";
    for (int i = 0; i < fields; ++i) {
        sessionLog += request[i].prompt ? request[i].prompt : "";
        sessionLog += ": ";
        const bool isPassword = (request[i].flags & AUTH_PASS) != 0;
        std::string& answer = isPassword ? passPhrase : userName;
        result[i] = answer.data();
        // The session log is shown to people and written to files: never the password itself.
        sessionLog += isPassword ? std::string(answer.size(), '*') : answer;
        sessionLog += "\n";
    }
    return 1;
}

// libESMTP hands an empty text where the server gave none; the log line still has to end.
const char* statusText(const smtp_status_t* status) {
    return status && status->text && *status->text ? status->text : "\n";
}

void printRecipientStatus(smtp_recipient_t recipient, const char* mailbox, void*) {
    const smtp_status_t* status = smtp_recipient_status(recipient);
    sessionLog += mailbox ? mailbox : "";
    sessionLog += " ";
    sessionLog += std::to_string(status ? status->code : 0);
    sessionLog += " ";
    sessionLog += statusText(status);
}

void monitor_cb(const char* buffer, int length, int direction, void*) {
    protocolTrace += direction == 2 ? "H: " : direction != 0 ? "C: " : "S: ";
    if (length > 0)
        protocolTrace.append(buffer, static_cast<std::size_t>(length));
}

void appendBoth(const std::string& text) {
    errorLog += text;
    sessionLog += text;
}

// The PLAIN mechanism declares 255 bytes per field; a longer value would be cut by the library
// without a word and the server would refuse a login nobody typed.
bool credentialsFit() {
    std::string refusal;
    if (userName.size() > maxCredentialLength)
        refusal += "User name is longer than 255 bytes; not sent.\n";
    if (passPhrase.size() > maxCredentialLength)
        refusal += "Password is longer than 255 bytes; not sent.\n";
    if (refusal.empty())
        return true;
    appendBoth("Message cannot be sent. Reason:\n" + refusal);
    return false;
}

} // namespace

int getLogLength(int log) {
    return static_cast<int>(selectLog(log).size());
}

void getLog(int log, char* buffer) {
    const std::string& text = selectLog(log);
    std::memcpy(buffer, text.data(), text.size());
}

void postwing(const char* recipient, const char* sender, const char* host, const std::uint16_t* port,
              const char* user, const char* password, const bool* starttls, const char* subject,
              const char* message) {
    sessionLog.clear();
    errorLog.clear();
    protocolTrace.clear();
    messageText = message;
    // Without an empty line libESMTP would read the first lines of the text as headers.
    if (messageText.find("\r\n\r\n") == std::string::npos)
        messageText.insert(0, "\r\n");
    readPosition = 0;
    userName = user;
    passPhrase = password;

    if (!credentialsFit()) {
        sessionLog += "Bye\n";
        return;
    }

    auth_client_init();
    smtp_session_t session = smtp_create_session();
    smtp_set_monitorcb(session, monitor_cb, nullptr, 1);
    if (*starttls)
        smtp_starttls_enable(session, Starttls_ENABLED);
    smtp_message_t mail = smtp_add_message(session);
    // Without a port libESMTP uses its default service, 587.
    const std::string server =
        *port == 0 ? std::string(host) : std::string(host) + ":" + std::to_string(*port);
    smtp_set_server(session, server.c_str());

    auth_context_t authContext = auth_create_context();
    if (!authContext)
        printError("auth_create_context()");
    auth_set_mechanism_flags(authContext, AUTH_PLUGIN_PLAIN, 0);
    printError("auth_set_mechanism_flags()");
    auth_set_interact_cb(authContext, authinteract, nullptr);
    printError("auth_set_interact_cb()");
    smtp_auth_set_context(session, authContext);
    printError("smtp_auth_set_context()");

    smtp_set_reverse_path(mail, sender);
    printError("smtp_set_reverse_path()");
    smtp_set_header(mail, "To", nullptr, nullptr);
    printError("smtp_set_header()");
    if (*subject) {
        smtp_set_header(mail, "Subject", subject);
        printError("smtp_set_header()");
        smtp_set_header_option(mail, "Subject", Hdr_OVERRIDE, 1);
        printError("smtp_set_header_option()");
    }
    smtp_set_messagecb(mail, getMessage, nullptr);
    printError("smtp_set_messagecb()");
    smtp_add_recipient(mail, recipient);
    printError("smtp_add_recipient()");

    bool failed = false;
    if (!smtp_start_session(session)) {
        appendBoth("Message cannot be sent. Reason:\n");
        printError("smtp_start_session()");
        failed = true;
        appendBoth("Session:\n");
    } else {
        const smtp_status_t* status = smtp_message_transfer_status(mail);
        printError("smtp_message_transfer_status()");
        if (!status) {
            appendBoth("Message cannot be sent. Session:\n");
            failed = true;
        } else {
            const std::string statusLine = std::to_string(status->code) + " " + statusText(status);
            if (status->code != 250) {
                failed = true;
                appendBoth("Message cannot be sent. Reason:\n");
                errorLog += statusLine;
            }
            sessionLog += statusLine;
            if (failed)
                appendBoth("Session:\n");
            sessionLog += "--- Recepients: -----------------------------------\n";
            smtp_enumerate_recipients(mail, printRecipientStatus, nullptr);
            sessionLog += std::string(51, '-') + "\n";
        }
    }
    if (failed)
        appendBoth(protocolTrace + "\n");

    smtp_destroy_session(session);
    auth_destroy_context(authContext);
    auth_client_exit();
    sessionLog += "Bye\n";
}
