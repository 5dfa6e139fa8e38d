/* Network checks: ICMP ping, TCP port checks, web page fetch (plain or over TLS) with link
 * check, and a web message post. Every function takes caller-owned, zero-terminated texts and
 * buffers; nothing is allocated for the caller and no exception leaves the library. Results are
 * 32-bit signed: 0 or more is success, negative codes are those of ResultCodes.h (their
 * log texts come from ErrorTextFor there). No call keeps state for the next one, apart
 * from the trust stores of the secure fetches, read once per process and CA file. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sends ICMP echo requests to `host` (dotted IPv4 text, converted without a lookup, or a
 * name, looked up) until `count` (below 1 means 1) of its own echo replies have come back,
 * `pauseMs` apart. Each request carries `dataSize` bytes of "E" (below 32 means 32, above
 * 500 means 500). Each send and each wait for a reply may take up to `timeoutMs` (0 means
 * 10000). Uses a raw ICMP socket where the process may open one, else the unprivileged ping
 * socket. Each counted echo (with the replies for other processes it waits past) ends
 * after at most 10 x `timeoutMs` + `pauseMs`, at most 5 minutes plus the pause, with -906.
 * Returns the truncated average round trip in milliseconds (0 or more), or:
 * -900 neither socket could be opened; -901 the host cannot be resolved; -90 no memory;
 * -906 a send or a reply wait ran out; -908 an ICMP message that is no echo reply came
 * (destination unreachable and the like); -909 the reply is too short; -910 the request
 * was not sent whole. An echo reply for another process never ends the call. */
int32_t Ping(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count, int32_t pauseMs);

/* 1 when a TCP connection to host:port opens and the server sends a first line, closes, or
 * sends 4096 bytes without a line feed. The connect and each wait for data are bounded by
 * `timeoutMs` (0 means 10000), so a greeting trickled byte by byte passes while every byte
 * comes in time, up to an overall deadline of 10 x the time-out (at most 5 minutes). Else -900 (no
 * socket), -901 (host cannot be resolved), -902 (connect or read failed, or the connect did not
 * complete in time), -906 (a wait ran out). */
int32_t IsMailPortOpen(const char* host, int32_t port, int32_t timeoutMs);

/* IsMailPortOpen after sending the 51-byte probe
 * "GET /index.htm HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"; any answer line counts (a 404
 * as well). An unresolvable host gives -902; a probe not sent whole -904. */
int32_t IsWebPortOpen(const char* host, int32_t port, int32_t timeoutMs);

/* Sends one GET for `path` ("" means "/") to host:port and stores the answer's body in
 * `pageFile` (the body of this answer only; an answer without body leaves it empty; a
 * failed transfer leaves it as it was). Judges the answer by its first characters:
 * returns the HTTP status (200, 301, 404, ...), the negated number after "Error" in a 200
 * answer, or 1 when the answer holds no space. Each status or error number parsed appends
 * an entry to "<pageFile>.err" (deleted first). `timeoutMs` (0 means 10000) bounds the
 * connect and each wait for data. Negative results: -1 empty host or page file; -900 no
 * socket; -902 the host cannot be resolved or the connect failed; -904 the request was not
 * sent whole, or not sent at all because the host or path holds a control byte (CR, LF or
 * any other byte below 0x20, or DEL: it would inject headers or a second request); -906 a
 * send or receive failed (a connection closed or reset before the first byte of an answer
 * included: the same verdict whichever of the two arrives), ran out of time, or the answer
 * passed 64 MB or its overall deadline (10 x the time-out, at most 5 minutes). The first
 * block gathers what arrives within 500 ms (an answer without Content-Length ends with it);
 * only a body complete by its Content-Length, or a close, ends it sooner. Every body byte
 * counts toward Content-Length; a Content-Length beyond 2^63 - 1 counts as 2^63 - 1.
 * Progress words (any may be null): w1..w5 = 1,0,0,0,0 at the start; 2,1,1,0,request
 * length once connected; 2,1,0,1,bytes received after each block; w3..w5 = 0 at the end.
 * A caller treats a negative result, 404 and 405 as a failed page. */
int32_t ReceiveWebPageAndCheck(const char* host, int32_t port, const char* path,
                               const char* pageFile, int32_t timeoutMs, int32_t* w1, int32_t* w2,
                               int32_t* w3, int32_t* w4, int32_t* w5);

/* ReceiveWebPageAndCheck for the page, then for every link of the page (tags whose name
 * starts with "a" and their href="..." value, joined to a <base href> when there is one;
 * links holding "(", ")", "#" or "mailto:" are left out), each into a temporary file
 * "<logDir>/Temp/VNK*.tmp" that is deleted afterwards. For a failed page or link, with
 * `logMode` above 0: two log lines (account name from `accountImage` as stored in
 * "<logDir>/Disp/YYYYMMDD.log", decoded from hex in "<logDir>/YYYYMMDD.log", text the
 * failure message and the error text or page error entries), the state image written over
 * `stateFile` (when given) and the status image written over `statusFile` (when given)
 * after its first word is taken from the stored record. Text from a server (status lines,
 * error entries, link hosts) reaches the log lines with its control bytes written as ^X. With
 * `logMode` 2 passing checks are logged too, with the success message. At most 1000 links are
 * followed per call; a page with more gets one line "HTTP Web LinkCheck Stopped: only the first
 * 1000 links in page were checked" (code 1) in both logs, whatever `logMode` says. The links are
 * fetched up to 8 at a time; their lines follow the page's order of links. The whole call, page
 * and links, ends by one overall deadline (10 x the time-out, at most 5 minutes): a link still
 * being fetched then fails with -906, and when links were never started the call ends with one
 * line "HTTP Web LinkCheck Stopped: out of time, N of M links in page were not checked" (code
 * -906) in both logs, whatever `logMode` says; those links count neither as passed nor as
 * failed. Returns 1 when the page and every link passed, the page's code when the page failed,
 * -1 when the page passed but its file cannot be read or is empty, else the code of the last
 * failing link. */
int32_t ReceiveWebPageAndCheckAll(const char* host, int32_t port, const char* path,
                                  const char* pageFile, int32_t timeoutMs, int32_t* w1, int32_t* w2,
                                  int32_t* w3, int32_t* w4, int32_t* w5, const char* logDir,
                                  const char* accountImage, const char* failureMessage,
                                  const char* successMessage, int32_t logMode,
                                  const char* stateFile, char* stateImage, int32_t stateLength,
                                  const char* statusFile, char* statusImage, int32_t statusLength);

/* ReceiveWebPageAndCheck over TLS (an "https://host:port/path" page): the same request
 * (its Host header naming the port when it is not 443), judging, page files, bounds and
 * progress words, the handshake bounded by the same time-out and overall deadline. The
 * server name `host` is sent as SNI (an IPv4 address is not, and is what the certificate
 * must name). With `verify` 1 the certificate chain must lead to the system's trust store
 * or to a certificate of `caFile` (a PEM file; null or "" for none, an unreadable one adds
 * nothing) and name `host`; with `verify` 0 neither is checked. With `certDays` above 0
 * (at most 3650) a certificate that ends within that many days fails, whatever `verify`
 * says. Trust stores are read once per process and CA file, and never written.
 * Results besides those of ReceiveWebPageAndCheck: -920 the handshake failed (the server
 * broke it off or answered with something that is not TLS; a server silent in the
 * handshake gives -906); -921 the chain is not trusted; -922 the certificate has ended;
 * -923 it names another host; -924 it ends within `certDays`; -90 no memory. With `verify`
 * the first failure of the chain counts (not trusted before ended before name).
 * `errorText` (may be null; `errorTextLength` bytes, at least 1 to be used) receives the
 * zero-terminated log text of -920 to -924, cut to fit: the code's text with the host
 * ("TLS_CERT_HOSTNAME Domain/IP: www.example.test"), for -922 followed by " (certificate ended
 * YYYY-MM-DD)" and for -924 by " (certificate valid until YYYY-MM-DD, N days left)" (UTC
 * date, a part of a day counted as a day); "" for every other result. */
int32_t ReceiveSecureWebPageAndCheck(const char* host, int32_t port, const char* path,
                                     const char* pageFile, int32_t timeoutMs, int32_t verify,
                                     int32_t certDays, const char* caFile, char* errorText,
                                     int32_t errorTextLength, int32_t* w1, int32_t* w2, int32_t* w3,
                                     int32_t* w4, int32_t* w5);

/* ReceiveWebPageAndCheckAll for a secure page, with the TLS arguments and results of
 * ReceiveSecureWebPageAndCheck (`errorText` for the page itself). The page's links are
 * read as a secure page's: an "https://host[:port]/..." link is fetched over TLS (port 443
 * when none is named), an "http://host[:port]/..." link plain (port 80 when none is named),
 * every other link over TLS from the page's host and port; the TLS checks are the page's.
 * A link's log line for -920 to -924 carries the text described for `errorText`. */
int32_t ReceiveSecureWebPageAndCheckAll(
    const char* host, int32_t port, const char* path, const char* pageFile, int32_t timeoutMs,
    int32_t verify, int32_t certDays, const char* caFile, char* errorText, int32_t errorTextLength,
    int32_t* w1, int32_t* w2, int32_t* w3, int32_t* w4, int32_t* w5, const char* logDir,
    const char* accountImage, const char* failureMessage, const char* successMessage,
    int32_t logMode, const char* stateFile, char* stateImage, int32_t stateLength,
    const char* statusFile, char* statusImage, int32_t statusLength);

/* Requests `path` from `host` (at most 64 characters) on port 80 with a 5000 ms time-out,
 * stores the answer's body in `answerFile` and appends a debug log of `logLevel` (0 none,
 * 1 error lines, 2 and above every step) to `logFile`, with a header block before the first
 * line of the call. 0 when the answer was received (whatever its status); -2 one of the four
 * texts is empty; -661 the log cannot be opened; -904 with the error line "Request refused: the
 * host or path holds a control byte." (nothing sent, the request not logged); else a transfer
 * code as for ReceiveWebPageAndCheck (-900, -902, -904, -906). */
int32_t SendMessageToWeb(const char* host, const char* path, const char* answerFile,
                         const char* logFile, int32_t logLevel);

#ifdef __cplusplus
}
#endif
