/* FTP transfers of one file per call: each call opens its own session, connects to the
 * server, signs in, does its one upload, download or delete in binary mode and closes
 * everything again. Every function takes caller-owned, zero-terminated texts and buffers;
 * nothing is allocated for the caller, no exception leaves the library and no call keeps
 * state for the next one, so calls on different threads do not meet.
 *
 * Server: a host name or address, connected on port 21. "host:port" (or "[v6address]:port")
 * names another port.
 *
 * Data connections are active (the server connects back to the address of the control
 * connection) unless the environment variable VARN_FTP_PASSIVE is "1" when the call is made;
 * then they are passive.
 *
 * Time-outs (the three long forms): `timeoutMs` bounds the connect, every wait for a reply
 * of the server, the wait for the server to open an active data connection, and every
 * stretch without data on the data connection; a server that stalls at any stage ends the
 * call about `timeoutMs` after its last sign of life. Besides, the whole call ends after 10
 * times the time-out, at most 5 minutes, with -906 (the short forms: 0), however punctually
 * the server answers each wait: a download trickled a few bytes a second cannot hold it.
 * 0 or below, and the two short forms, use 60000 ms. Reply lines are read into a fixed buffer
 * (longer lines are cut) and a download stops with an error past 64 MB, so no server can make a
 * call hold unbounded memory or disk.
 *
 * Error text (the long forms): `errorText` must hold 1024 bytes. It is written only when a
 * result comes from an error of the transfer machinery (-912, -904, -905, -64, -906): the
 * machinery's message, cut to 1023 bytes and zero-terminated. Results 1 and -902 leave it
 * untouched, as does a null `errorText`.
 *
 * The user name and password are sent only to the server, never written anywhere. A user
 * name, password or remote path holding a control character (a line break could smuggle in
 * FTP commands) is not sent at all. An empty user name signs in anonymously. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Uploads the local file `localPath` (a regular file) to `remotePath` on the server, which
 * replaces a file of that name there. Returns 1 uploaded; -902 the server refused the
 * upload (or the local file cannot be read, or the remote path is unusable); -904 an error
 * after the sign-in succeeded (time-out, lost or failed connection, garbled reply); -912 an
 * error before a signed-in connection existed (name lookup, connect, greeting, sign-in, or a
 * server text, user name or password that cannot be used); -906 the overall deadline passed
 * (in any stage of the call). */
int32_t SendFileToHost(const char* server, const char* user, const char* password,
                       const char* localPath, const char* remotePath, int32_t timeoutMs,
                       char* errorText);

/* Downloads `remotePath` into the new local file `localPath`, which must not exist yet (it
 * is created with mode 0666 less the umask; a symbolic link there is not followed). A
 * failed download leaves no local file behind. The size of the file is not asked for (a
 * server may refuse SIZE for a file it sends): the download reads to the end of the data
 * connection. Returns 1 downloaded; -902 the download failed (the server has no such file
 * or refused it, or the local file exists or cannot be created); -905 an error after the
 * sign-in; -912 an error before a signed-in connection existed; -906 the overall deadline
 * passed. */
int32_t ReceiveFileFromHost(const char* server, const char* user, const char* password,
                            const char* remotePath, const char* localPath, int32_t timeoutMs,
                            char* errorText);

/* Deletes `remotePath` on the server. Returns 1 deleted; -902 the server refused the
 * deletion (no such file, no permission); -64 an error after the sign-in; -912 an error
 * before a signed-in connection existed; -906 the overall deadline passed. */
int32_t DeleteFileFromHost(const char* server, const char* user, const char* password,
                           const char* remotePath, int32_t timeoutMs, char* errorText);

/* FTPS: the three long forms over a secure connection. Arguments, results and everything
 * else are those of the form without "Secure"; with `tlsMode` 0 the call is that form, byte
 * for byte on the wire.
 *
 * `tlsMode` 1 (explicit): "AUTH TLS" on the plain port ("AUTH SSL" when that is refused)
 * before the sign-in; the sign-in and every data connection are protected ("PROT P"). 2
 * (implicit): TLS from the first byte, on port 990 unless the server text names a port.
 * Any other value returns -912 at once with "Unknown TLS mode" (nothing is sent). Data
 * connections are passive whatever VARN_FTP_PASSIVE says: with the commands encrypted, no
 * firewall or address translation on the way can open the way back for an active one. The
 * server name is sent (SNI) unless the server is an address; TLS 1.2 is the least version;
 * the handshakes are bounded by the same time-out and overall deadline as every other wait.
 * With `verify` non-zero the certificate chain must lead to an authority of the system's
 * trust store or of the PEM file `caFile` (null or empty: none; one that cannot be read
 * adds nothing), and the certificate must name the server; with `verify` 0 neither is
 * checked. `certDays` above 0 (at most 3650) fails a certificate that ends within that many
 * days, found right after the sign-in and before the operation's own command; 0 or below:
 * not checked.
 *
 * Further results (the error text, when given, says why; for -944 "the certificate expires
 * on <yyyy-mm-dd hh:mm:ss> GMT (<n> days left)"): -940 TLS handshake failed (an alert, not
 * TLS at all, or no answer in time); -941 certificate not trusted; -942 certificate
 * expired; -943 the certificate does not name the server; -944 the certificate expires
 * within `certDays` days; -945 the server refused AUTH TLS. -940 to -943 and -945 on the
 * control connection come before the user name and password were sent. */
int32_t SendFileToHostSecure(const char* server, const char* user, const char* password,
                             const char* localPath, const char* remotePath, int32_t timeoutMs,
                             char* errorText, int32_t tlsMode, int32_t verify, const char* caFile,
                             int32_t certDays);
int32_t ReceiveFileFromHostSecure(const char* server, const char* user, const char* password,
                                  const char* remotePath, const char* localPath, int32_t timeoutMs,
                                  char* errorText, int32_t tlsMode, int32_t verify,
                                  const char* caFile, int32_t certDays);
int32_t DeleteFileFromHostSecure(const char* server, const char* user, const char* password,
                                 const char* remotePath, int32_t timeoutMs, char* errorText,
                                 int32_t tlsMode, int32_t verify, const char* caFile,
                                 int32_t certDays);

/* SendFileToHost with the default time-out and without error text: 1 uploaded, else 0. */
int32_t PutFileToRemoteHost(const char* server, const char* user, const char* password,
                            const char* localPath, const char* remotePath);

/* ReceiveFileFromHost with the default time-out and without error text: 1 downloaded,
 * else 0. */
int32_t GetFileFromRemoteHost(const char* server, const char* user, const char* password,
                              const char* remotePath, const char* localPath);

#ifdef __cplusplus
}
#endif
