#include "Postwing.h"

// libESMTP declares smtp_starttls_set_ctx() only when OpenSSL's declarations came before it.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

// libesmtp.h uses size_t without including its header.
#include <cstddef>

#include <auth-client.h>
#include <libesmtp.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The protocol monitor sees raw pieces of traffic; it cuts them into lines so that it can hide what
// follows an AUTH command and remember the server's replies before the mail transaction.
struct TraceState {
    std::string partial[2]; // 0 = from the server, 1 = from the client
    std::string reply;      // lines of the server reply being read
    std::string lastVerb;   // the client's last command
    bool inAuth = false;
    bool inTransaction = false;
    // The last complete reply before MAIL FROM: a 4xx/5xx here (greeting, EHLO, STARTTLS, AUTH) is
    // the real reason a later step failed.
    std::string setupReply;
};

// Everything one send reads and writes; libESMTP's callbacks get it through their argument pointer,
// OpenSSL's certificate check through the TLS context's extra data.
struct SendState {
    std::string sessionLog;
    std::string errorLog;
    std::string protocolTrace;
    std::string messageText;
    std::string userName;
    std::string passPhrase;
    std::string serverHost;
    std::size_t readPosition = 0;
    // Library error lines: they belong in the error log only when the message was not accepted, since
    // a connection lost after the 250 still leaves its error behind.
    std::string libraryErrors;
    // Why STARTTLS did not happen or was given up, in words; the library only knows "client error".
    std::string tlsReason;
    TraceState trace;
};

SendState& stateOf(void* argument) {
    return *static_cast<SendState*>(argument);
}

// libESMTP keeps the last error of the thread until the next one, so after a first failure every
// later check repeats it; that is how the logs have always read.
void printError(SendState& state, const std::string& call) {
    char text[1024];
    const int code = smtp_errno();
    const char* described = smtp_strerror(code, text, sizeof text);
    text[sizeof text - 1] = '\0';
    if (!described)
        return;
    const std::string line = call + ": " + described + "\n";
    state.sessionLog += line;
    if (code != 0)
        state.libraryErrors += line;
}

const char* getMessage(void** context, int* length, void* argument) {
    SendState& state = stateOf(argument);
    *context = nullptr;
    if (!length) {
        state.readPosition = 0;
        return nullptr;
    }
    const std::size_t remaining = state.messageText.size() - state.readPosition;
    *length = static_cast<int>(remaining);
    state.readPosition = state.messageText.size();
    return remaining ? state.messageText.data() : nullptr;
}

int authinteract(auth_client_request_t request, char** result, int fields, void* argument) {
    SendState& state = stateOf(argument);
    state.sessionLog += "auth():\n";
    for (int i = 0; i < fields; ++i) {
        state.sessionLog += request[i].prompt ? request[i].prompt : "";
        state.sessionLog += ": ";
        const bool isPassword = (request[i].flags & AUTH_PASS) != 0;
        std::string& answer = isPassword ? state.passPhrase : state.userName;
        result[i] = answer.data();
        // The session log is shown to people and written to files: never the password itself.
        state.sessionLog += isPassword ? std::string(answer.size(), '*') : answer;
        state.sessionLog += "\n";
    }
    return 1;
}

// libESMTP hands an empty text where the server gave none; the log line still has to end.
const char* statusText(const smtp_status_t* status) {
    return status && status->text && *status->text ? status->text : "\n";
}

void printRecipientStatus(smtp_recipient_t recipient, const char* mailbox, void* argument) {
    SendState& state = stateOf(argument);
    const smtp_status_t* status = smtp_recipient_status(recipient);
    state.sessionLog += mailbox ? mailbox : "";
    state.sessionLog += " ";
    state.sessionLog += std::to_string(status ? status->code : 0);
    state.sessionLog += " ";
    state.sessionLog += statusText(status);
}

bool isReplyLine(const std::string& line) {
    return line.size() >= 3 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' && line[1] <= '9' &&
           line[2] >= '0' && line[2] <= '9';
}

int replyCode(const std::string& reply) {
    return isReplyLine(reply) ? std::stoi(reply.substr(0, 3)) : 0;
}

std::string upperVerb(const std::string& line) {
    std::string verb;
    for (const char c : line) {
        if (c == ' ' || c == '\r' || c == '\n')
            break;
        verb += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return verb;
}

// What the trace shows of one client line. The AUTH arguments and every line the client sends until
// the server's final reply to AUTH are credentials (Base64 of user name and password): only "*".
std::string clientLine(TraceState& trace, const std::string& line) {
    const std::size_t end = line.find_first_of("\r\n");
    const std::string ending = end == std::string::npos ? std::string() : line.substr(end);
    if (trace.inAuth)
        return "*" + ending;
    const std::string verb = upperVerb(line);
    if (verb == "AUTH") {
        trace.inAuth = true;
        trace.lastVerb = verb;
        const std::string command = line.substr(0, end);
        const std::size_t mechanismEnd = command.find(' ', 5);
        return mechanismEnd == std::string::npos ? line : command.substr(0, mechanismEnd) + " *" + ending;
    }
    if (verb == "MAIL")
        trace.inTransaction = true;
    trace.lastVerb = verb;
    return line;
}

void serverLine(TraceState& trace, const std::string& line) {
    if (!isReplyLine(line))
        return;
    trace.reply += line;
    if (line.size() > 3 && line[3] == '-')
        return;
    const int code = replyCode(trace.reply);
    if (!trace.inTransaction && trace.lastVerb != "QUIT")
        trace.setupReply = trace.reply;
    if (trace.inAuth && code != 334)
        trace.inAuth = false;
    trace.reply.clear();
}

void traceLine(SendState& state, int direction, const std::string& line) {
    if (direction == 0) {
        serverLine(state.trace, line);
        state.protocolTrace += "S: " + line;
    } else {
        state.protocolTrace += "C: " + clientLine(state.trace, line);
    }
}

void monitor_cb(const char* buffer, int length, int direction, void* argument) {
    SendState& state = stateOf(argument);
    if (length <= 0)
        return;
    if (direction == 2) {
        state.protocolTrace += "H: ";
        state.protocolTrace.append(buffer, static_cast<std::size_t>(length));
        return;
    }
    const int side = direction == 0 ? 0 : 1;
    std::string& partial = state.trace.partial[side];
    partial.append(buffer, static_cast<std::size_t>(length));
    std::size_t start = 0;
    for (std::size_t end = partial.find('\n'); end != std::string::npos; end = partial.find('\n', start)) {
        traceLine(state, side, partial.substr(start, end + 1 - start));
        start = end + 1;
    }
    partial.erase(0, start);
}

void flushTrace(SendState& state) {
    for (int side = 0; side < 2; ++side) {
        if (!state.trace.partial[side].empty())
            traceLine(state, side, state.trace.partial[side] + "\n");
        state.trace.partial[side].clear();
    }
}

// One line per line of the reply, each beginning with its code, so that whoever reads the error text
// can tell a permanent refusal (5xx) from a passing one without knowing SMTP's continuation lines.
std::string replyLines(const smtp_status_t* status) {
    if (!status || status->code == 0)
        return {};
    std::string prefix = std::to_string(status->code) + " ";
    if (status->enh_class != 0)
        prefix += std::to_string(status->enh_class) + "." + std::to_string(status->enh_subject) + "." +
                  std::to_string(status->enh_detail) + " ";
    const std::string text = status->text ? status->text : "";
    std::string lines;
    std::size_t start = 0;
    do {
        std::size_t end = text.find('\n', start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == '\n'))
            trimmed.pop_back();
        if (!trimmed.empty() || lines.empty())
            lines += prefix + trimmed + "\n";
    } while (start < text.size());
    return lines;
}

std::string rawReplyLines(const std::string& reply) {
    std::string lines;
    for (const char c : reply) {
        if (c != '\r')
            lines += c;
    }
    return lines;
}

bool refused(const smtp_status_t* status) {
    return status && status->code != 0 && status->code / 100 != 2;
}

void collectRefusedRecipient(smtp_recipient_t recipient, const char*, void* lines) {
    const smtp_status_t* status = smtp_recipient_status(recipient);
    if (refused(status))
        *static_cast<std::string*>(lines) += replyLines(status);
}

// The server's reply that explains the failure, taken from the first step that went wrong: a refused
// login makes MAIL FROM fail, a refused recipient makes the data fail ("no valid recipients", or
// with CHUNKING "551 Discarded 0 bytes after earlier error"), and only the first of these says why.
std::string realReplies(const TraceState& trace, smtp_message_t mail) {
    if (replyCode(trace.setupReply) >= 400)
        return rawReplyLines(trace.setupReply);
    if (const smtp_status_t* from = smtp_reverse_path_status(mail); refused(from))
        return replyLines(from);
    std::string recipients;
    smtp_enumerate_recipients(mail, collectRefusedRecipient, &recipients);
    if (!recipients.empty())
        return recipients;
    const smtp_status_t* status = smtp_message_transfer_status(mail);
    return status && status->code != 250 ? replyLines(status) : std::string();
}

void event_cb(smtp_session_t, int event, void* argument, ...) {
    SendState& state = stateOf(argument);
    std::va_list arguments;
    va_start(arguments, argument);
    switch (event) {
    case SMTP_EV_EXTNA_STARTTLS:
        state.tlsReason += "The server does not offer STARTTLS, which this mail server entry requires; "
                           "nothing was sent.\n";
        break;
    case SMTP_EV_INVALID_PEER_CERTIFICATE:
        if (state.tlsReason.empty())
            state.tlsReason += std::string("The server's certificate is not trusted (") +
                               X509_verify_cert_error_string(va_arg(arguments, long)) +
                               "); nothing was sent.\n";
        break;
    case SMTP_EV_NO_PEER_CERTIFICATE:
        state.tlsReason += "The server sent no certificate; nothing was sent.\n";
        break;
    case SMTP_EV_WRONG_PEER_CERTIFICATE: {
        static_cast<void>(va_arg(arguments, int*));
        const char* name = va_arg(arguments, const char*);
        state.tlsReason += "The server's certificate is for \"" + std::string(name ? name : "") +
                           "\", not for \"" + state.serverHost + "\"; nothing was sent.\n";
        break;
    }
    case SMTP_EV_WEAK_CIPHER:
        state.tlsReason += "The server offered only a weak cipher; nothing was sent.\n";
        break;
    default:
        break;
    }
    va_end(arguments);
}

// Where the TLS context keeps its send's state for verifyPeer(), which OpenSSL calls without one.
int stateIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Handshake failures would otherwise only read "client error".
int verifyPeer(int preverified, X509_STORE_CTX* store) {
    const auto* connection =
        static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    void* data = connection ? SSL_CTX_get_ex_data(SSL_get_SSL_CTX(connection), stateIndex()) : nullptr;
    if (!data)
        return preverified;
    SendState& state = stateOf(data);
    if (!preverified && state.tlsReason.empty())
        state.tlsReason += std::string("The server's certificate is not trusted (") +
                           X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)) +
                           "); nothing was sent.\n";
    return preverified;
}

enum class Trust { absent, usable, unsafe };

// The rules libESMTP applies to its own trust files: readable by their owner only, owned by us.
Trust privateFile(const std::string& path, bool directory) {
    struct stat status {};
    if (::stat(path.c_str(), &status) < 0)
        return errno == ENOENT ? Trust::absent : Trust::unsafe;
    if (directory) {
        if (!S_ISDIR(status.st_mode) || (status.st_mode & (S_IRWXG | S_IRWXO)))
            return Trust::unsafe;
    } else if (!S_ISREG(status.st_mode) || status.st_size == 0 ||
               (status.st_mode & (S_IXUSR | S_IRWXG | S_IRWXO))) {
        return Trust::unsafe;
    }
    return status.st_uid == ::getuid() ? Trust::usable : Trust::unsafe;
}

std::string libesmtpConfigDir() {
    if (const char* config = std::getenv("XDG_CONFIG_DIR"))
        return std::string(config) + "/libesmtp/";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/libesmtp/";
}

// libESMTP 1.1 drives TLS 1.3 badly: when the server's session tickets arrive right after the
// handshake it reads them and then waits for a reply to an EHLO it has not sent yet (up to five
// minutes). TLS 1.2 has no such messages after the handshake. Partial writes stay off: the library's
// write loop would send its buffer from the start again after a short write.
SSL_CTX* tlsContext(SendState& state, std::string& reason) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        reason = "TLS could not be set up; nothing was sent.\n";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, verifyPeer);
    SSL_CTX_set_ex_data(context, stateIndex(), &state);

    // The trust libESMTP would load for itself; it loads none once it is handed a context.
    const std::string dir = libesmtpConfigDir();
    const std::string caFile = dir + "ca.pem";
    const std::string caPath = dir + "ca";
    const Trust file = privateFile(caFile, false);
    const Trust path = privateFile(caPath, true);
    bool loaded = true;
    if (file == Trust::unsafe || path == Trust::unsafe) {
        reason = caFile + " (or " + caPath +
                 ") must belong to this user and be readable by nobody else; nothing was sent.\n";
        loaded = false;
    } else if (file == Trust::usable || path == Trust::usable) {
        loaded = SSL_CTX_load_verify_locations(context, file == Trust::usable ? caFile.c_str() : nullptr,
                                               path == Trust::usable ? caPath.c_str() : nullptr) == 1;
        if (!loaded)
            reason = "The certificates in " + caFile + " cannot be read; nothing was sent.\n";
    } else {
        loaded = SSL_CTX_set_default_verify_paths(context) == 1;
        if (!loaded)
            reason = "The system's certificate store cannot be read; nothing was sent.\n";
    }
    ERR_clear_error();
    if (!loaded) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

void appendBoth(SendState& state, const std::string& text) {
    state.errorLog += text;
    state.sessionLog += text;
}

// The PLAIN mechanism declares 255 bytes per field; a longer value would be cut by the library
// without a word and the server would refuse a login nobody typed. A line break in an address would
// end the SMTP command early and start another one of the text's choosing.
bool inputsFit(SendState& state, const char* recipient, const char* sender) {
    std::string refusal;
    if (state.userName.size() > maxCredentialLength)
        refusal += "User name is longer than 255 bytes; not sent.\n";
    if (state.passPhrase.size() > maxCredentialLength)
        refusal += "Password is longer than 255 bytes; not sent.\n";
    if (std::strpbrk(recipient, "\r\n"))
        refusal += "Recipient address holds a line break; not sent.\n";
    if (std::strpbrk(sender, "\r\n"))
        refusal += "Sender address holds a line break; not sent.\n";
    if (refusal.empty())
        return true;
    appendBoth(state, "Message cannot be sent. Reason:\n" + refusal);
    return false;
}

// SMTP and RFC 5322 know only CR LF; a lone LF or CR is refused by hardened servers (it is how SMTP
// smuggling works) and read differently by different programs.
std::string withCrlf(const char* text, std::size_t length) {
    std::string lines;
    lines.reserve(length + length / 32 + 2);
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '\r') {
            lines += "\r\n";
            if (i + 1 < length && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            lines += "\r\n";
        } else {
            lines += c;
        }
    }
    return lines;
}

std::string base64(const std::string& bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], alphabet[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v =
            static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], '='};
    }
    return out;
}

// The Subject as header text: 7-bit, no line of it over 78 characters where a space allows. Text
// with any other byte becomes RFC 2047 encoded-words (UTF-8, Base64) of whole characters, one per
// folded line, so "Subject: " and the first word stay within 78 too.
std::string subjectHeader(std::string subject) {
    for (char& c : subject) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    constexpr std::size_t lineLimit = 78;
    constexpr std::size_t labelLength = 9; // "Subject: "
    bool plain = true;
    for (const char c : subject) {
        const auto byte = static_cast<unsigned char>(c);
        plain = plain && byte >= 0x20 && byte < 0x7f;
    }
    if (plain) {
        std::string folded;
        std::size_t lineLength = labelLength;
        std::size_t longest = 0;
        std::size_t start = 0;
        while (start < subject.size()) {
            std::size_t space = subject.find(' ', start + 1);
            if (space == std::string::npos)
                space = subject.size();
            const std::string word = subject.substr(start, space - start);
            // Folding happens before a space that has text after it: a line of white space alone
            // is not allowed.
            if (lineLength + word.size() > lineLimit && !folded.empty() && word.size() > 1 &&
                word[0] == ' ') {
                longest = std::max(longest, lineLength);
                folded += "\r\n";
                lineLength = 0;
            }
            folded += word;
            lineLength += word.size();
            start = space;
        }
        // A word past the hard limit of 998 cannot be folded; it is encoded below instead.
        if (std::max(longest, lineLength) <= 998)
            return folded;
    }
    // 42 bytes make 56 Base64 characters: "Subject: =?UTF-8?B?" + 56 + "?=" is 77 characters.
    constexpr std::size_t chunkBytes = 42;
    std::string encoded;
    std::size_t start = 0;
    while (start < subject.size()) {
        std::size_t end = std::min(start + chunkBytes, subject.size());
        // Never split a UTF-8 sequence: back up to the first byte of the character at the cut.
        while (end < subject.size() && end > start + 1 &&
               (static_cast<unsigned char>(subject[end]) & 0xC0) == 0x80)
            --end;
        if (!encoded.empty())
            encoded += "\r\n ";
        encoded += "=?UTF-8?B?" + base64(subject.substr(start, end - start)) + "?=";
        start = end;
    }
    return encoded;
}

// The end of every send, whichever way it went.
PostwingLogs finished(SendState& state) {
    // Nothing of the password outlives the send.
    std::fill(state.passPhrase.begin(), state.passPhrase.end(), '\0');
    state.sessionLog += "Bye\n";
    return {std::move(state.errorLog), std::move(state.sessionLog)};
}

} // namespace

PostwingLogs postwing(const char* recipient, const char* sender, const char* host, const std::uint16_t* port,
                      const char* user, const char* password, const bool* starttls, const char* subject,
                      const char* message, std::size_t messageLength) {
    SendState state;
    state.messageText = withCrlf(message, messageLength);
    // Without an empty line libESMTP would read the first lines of the text as headers.
    if (state.messageText.find("\r\n\r\n") == std::string::npos)
        state.messageText.insert(0, "\r\n");
    state.readPosition = 0;
    state.userName = user;
    state.passPhrase = password;
    state.serverHost = host;

    if (!inputsFit(state, recipient, sender))
        return finished(state);

    // With the switch on, TLS is a condition of the send: a server that does not offer STARTTLS (or an
    // attacker who strips it from the reply) must not get the message, nor the password, in clear.
    SSL_CTX* tls = nullptr;
    if (*starttls) {
        std::string reason;
        tls = tlsContext(state, reason);
        if (!tls) {
            appendBoth(state, "Message cannot be sent. Reason:\n" + reason);
            return finished(state);
        }
    }

    auth_client_init();
    smtp_session_t session = smtp_create_session();
    smtp_set_monitorcb(session, monitor_cb, &state, 1);
    smtp_set_eventcb(session, event_cb, &state);
    if (tls) {
        smtp_starttls_enable(session, Starttls_REQUIRED);
        smtp_starttls_set_ctx(session, tls);
    }
    smtp_message_t mail = smtp_add_message(session);
    // Without a port libESMTP uses its default service, 587.
    const std::string server =
        *port == 0 ? std::string(host) : std::string(host) + ":" + std::to_string(*port);
    smtp_set_server(session, server.c_str());
    // The reply to the end of the data may take ten minutes (RFC 5321 4.5.3.2: a server that scans
    // the message first). Giving up earlier would make the caller send the report again although
    // the server delivers the first copy all the same. The other phases keep the library's RFC
    // minimums.
    smtp_set_timeout(session, Timeout_DATA2, 10L * 60 * 1000);

    // Without a user name there is nothing to log in with: no AUTH at all, rather than empty
    // credentials that a server answers with 535 after its failure delay.
    auth_context_t authContext = nullptr;
    if (!state.userName.empty()) {
        authContext = auth_create_context();
        if (!authContext)
            printError(state, "auth_create_context()");
        auth_set_mechanism_flags(authContext, AUTH_PLUGIN_PLAIN, 0);
        printError(state, "auth_set_mechanism_flags()");
        auth_set_interact_cb(authContext, authinteract, &state);
        printError(state, "auth_set_interact_cb()");
        smtp_auth_set_context(session, authContext);
        printError(state, "smtp_auth_set_context()");
    }

    smtp_set_reverse_path(mail, sender);
    printError(state, "smtp_set_reverse_path()");
    smtp_set_header(mail, "To", nullptr, nullptr);
    printError(state, "smtp_set_header()");
    if (*subject) {
        const std::string header = subjectHeader(subject);
        smtp_set_header(mail, "Subject", header.c_str());
        printError(state, "smtp_set_header()");
        smtp_set_header_option(mail, "Subject", Hdr_OVERRIDE, 1);
        printError(state, "smtp_set_header_option()");
    }
    smtp_set_messagecb(mail, getMessage, &state);
    printError(state, "smtp_set_messagecb()");
    // Room for the headers the library adds; a server with a smaller SIZE refuses at MAIL FROM.
    smtp_size_set_estimate(mail, static_cast<unsigned long>(state.messageText.size() + 1024));
    printError(state, "smtp_size_set_estimate()");
    smtp_add_recipient(mail, recipient);
    printError(state, "smtp_add_recipient()");

    const bool ran = smtp_start_session(session) != 0;
    if (!ran)
        printError(state, "smtp_start_session()");
    flushTrace(state);
    const smtp_status_t* status = smtp_message_transfer_status(mail);
    if (ran)
        printError(state, "smtp_message_transfer_status()");
    // The message's own 250 is the outcome; what happens to the connection afterwards (a server that
    // drops it at QUIT) does not undo a delivery.
    const bool accepted = status && status->code == 250;

    if (status) {
        state.sessionLog += std::to_string(status->code) + " " + statusText(status);
        state.sessionLog += "--- Recipients: -----------------------------------\n";
        smtp_enumerate_recipients(mail, printRecipientStatus, &state);
        state.sessionLog += std::string(51, '-') + "\n";
    }
    if (!accepted) {
        std::string reasons = realReplies(state.trace, mail) + state.tlsReason;
        if (tls && state.tlsReason.empty()) {
            for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error()) {
                char text[256];
                ERR_error_string_n(error, text, sizeof text);
                reasons += std::string("TLS: ") + text + "\n";
            }
        }
        appendBoth(state, "Message cannot be sent. Reason:\n" + reasons + state.libraryErrors + "Session:\n" +
                              state.protocolTrace + "\n");
    }

    smtp_destroy_session(session);
    if (authContext)
        auth_destroy_context(authContext);
    auth_client_exit();
    SSL_CTX_free(tls);
    return finished(state);
}
