/* POP3 retrieval: one call logs in to a POP3 server, stores every new message as a file in
 * a directory, optionally deletes the stored messages on the server, and logs out. Every
 * function takes caller-owned, zero-terminated texts; nothing is allocated for the caller,
 * no exception leaves the library and no call keeps state for the next one apart from the
 * known-message list file it writes.
 *
 * Message files: "<target>/<id><suffix><extension>". <id> is the message's Message-ID
 * header (from "TOP n 0") without its angle brackets and with every character that is not
 * an ASCII letter or digit removed; a message without one gets a generated ID. <suffix> is
 * empty for the first file of that ID and "_002", "_003", ... while the name is taken. A
 * message is written to a hidden file (".pop3-*") first and gets its name only once it has
 * arrived whole, so a name without the leading "." always holds a complete message: the
 * server's text after the "+OK" line of RETR up to the end marker, lines as sent (CR LF),
 * dot-stuffed lines un-stuffed, the end marker not stored.
 *
 * Known-message list (servers that offer UIDL): "<target>/<user>@<server>.uid", one line
 * per message ("<number> <unique id>") of the last listing. A message whose unique ID is
 * on the list is not fetched again. "/" in the user or server name becomes "_" there.
 *
 * Bounds, whatever the server does:
 * - each wait for the connection, a reply or more data: `timeoutMs` (0 or below: 60000 ms);
 * - the whole call: ten times that wait, at most 300000 ms;
 * - a reply line: 8 KB (a longer one fails the call);
 * - a listing (UIDL): 100000 lines; message headers (TOP): 256 KB;
 * - a message: 16 MB. A larger message is not stored and the log says
 *   "Message %d: larger than %d bytes, not stored"; with `deleteAfter` it is deleted like
 *   the stored ones, and the call goes on with the next one. One that "LIST n" names as
 *   larger is not fetched at all; one larger than listed is read past up to twice the cap,
 *   and a server sending more than that within one answer ends the call.
 * A wait, a cap or the whole-call bound that runs out, a connection closed mid-answer, or
 * an answer that is not "+OK" where one is needed ends the call with -16 (or -1 before
 * the greeting arrived); files of messages that had not arrived whole are removed.
 *
 * Log (when `logFile` names a file and `logLevel` is 1 or 2): one line per entry,
 * "<yy/mm/dd hh:mm:ss>\t<call number %08d>\tHost:<server>\tUser:<user>\t<text>". Level 1
 * writes failures, level 2 every command and reply too. The password is shown only as
 * "PASS [xxxxx]"; control bytes of server texts are written as ^X. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Fetches every new message of `user` on `server`:`port` into `targetDir` (created when
 * missing). `extension` is appended to every file name (".eml"). `deleteAfter` non-zero
 * deletes each stored message on the server ("DELE n"; a refusal is no error) and removes
 * the known-message list. `timeoutMs`: see the bounds above.
 *
 * Returns the number of messages stored (0 or more); -1 no connection (the host cannot be
 * resolved or reached, or its greeting is not "+OK"); -5 no socket could be made; -16 the
 * USER command was refused, or a later answer was missing, broken, over a bound or not
 * "+OK" where one is needed; -17 the PASS command was refused. Messages stored before a
 * failure stay in `targetDir`. A user name or password holding CR or LF is not sent (-16,
 * -17). */
int32_t POP3_RetrieveAllWithPort(const char* server, const char* user, const char* password,
                                 const char* targetDir, const char* extension, int32_t deleteAfter,
                                 int32_t logLevel, const char* logFile, int32_t port,
                                 int32_t timeoutMs);

/* POP3_RetrieveAllWithPort over a secure connection when asked. The first ten arguments
 * and everything they do are those of POP3_RetrieveAllWithPort, except that `port` 0 means
 * the protocol's port (110, or 995 with `tlsMode` 2). With `tlsMode` 0 the call is
 * POP3_RetrieveAllWithPort, byte for byte on the wire.
 *
 * `tlsMode`: 1 sends "STLS" after the greeting and runs the TLS handshake on its "+OK"; 2
 * runs the handshake right after the connect, before the greeting. Any other value returns
 * -1 at once (nothing is sent in the clear for a mode the library does not know). The
 * handshake sends the server name (SNI) unless `server` is an address; it is bounded by the
 * same waits and whole-call deadline as every other step, and TLS 1.2 is the least version.
 * With `verify` non-zero the server's certificate chain must lead to an authority of the
 * system's trust store or of the PEM file `caFile` (null or empty: none; one that cannot be
 * read adds nothing), and the certificate must name `server` (a host name, or an address
 * as an IP entry); with `verify` 0 neither is checked. `certDays` above 0 (at most 3650)
 * fails a certificate that ends within that many days; 0 or below: not checked.
 *
 * Further results besides those of POP3_RetrieveAllWithPort, each before USER or PASS was
 * sent (the user name and password never go over a connection that was to be secure and is
 * not):
 *   -940 TLS handshake failed (no answer in time, an alert, not TLS at all, or unencrypted
 *        bytes behind the "+OK" of STLS);
 *   -941 certificate not trusted;  -942 certificate expired (with `verify` 0 too when
 *        `certDays` is above 0);
 *   -943 the certificate does not match the host name;
 *   -944 the certificate expires within `certDays` days;
 *   -945 the server refused STLS (an answer other than "+OK", or none).
 * Each is logged at level 1 with the reason ("TLS handshake failed: ...", "Certificate not
 * trusted: ...", "Certificate expired: ...", "Certificate does not match host <server>:
 * ...", "Certificate expires soon: the certificate expires on <yyyy-mm-dd hh:mm:ss> GMT
 * (<n> days left)", "Server refused STLS"); level 2 also logs "TLS established: <protocol>
 * <cipher>". With one of these results the same text (cut to 1023 bytes, zero-terminated)
 * goes to `errorText` when it is not null, which must then hold 1024 bytes; other results
 * leave it untouched. */
int32_t POP3_RetrieveAllSecure(const char* server, const char* user, const char* password,
                               const char* targetDir, const char* extension, int32_t deleteAfter,
                               int32_t logLevel, const char* logFile, int32_t port,
                               int32_t timeoutMs, int32_t tlsMode, int32_t verify,
                               const char* caFile, int32_t certDays, char* errorText);

#ifdef __cplusplus
}
#endif
