// The "Setup" dialog: the mail servers and their sign-in, From and To, net-send
// destinations, the local alarm, the scan intervals and log options; the global template
// scratch files of its two editors; and the wave files uploaded for the alarm.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <string>

#include "console/account_form.h"
#include "console/settings.h"

namespace console {

// Built-in templates: down subject, up subject, down body, up body; down and up online.
extern const std::array<const char*, 4> kDefaultMailTemplates;
extern const std::array<const char*, 2> kDefaultOnlineTemplates;

// temp/messagealert.dat and temp/onlinealert.dat.
std::string GlobalMailScratchPath(const std::string& programDir);
std::string GlobalOnlineScratchPath(const std::string& programDir);
// Writes a scratch file of text blocks (owner-only), retrying up to 100 times, 10 ms apart.
bool WriteScratch(const std::string& path, const std::vector<std::string>& texts);
// Reads one: nothing usable gives an empty list.
std::vector<std::string> ReadScratch(const std::string& path);

// The dialog's initialisation: seeds the scratch files (defaults when the stored templates
// are empty; the stored templates when a file is missing) and returns every control's value
// for the page. Passwords only as "stored".
nlohmann::json SetupJson(const std::string& programDir, const SettingCopies& current);

// "OK": the checks in their order; when all pass, the Wave folder keeps only the chosen
// sound file and Scan.dat, Alert.dat and Alert2.dat are written, and `current` is updated.
// The mail servers' ports and security choices ("primaryPort", "primarySecurity" none /
// starttls / tls, the same for "alternate", "mailVerify", "caFile") go to Varnock.ini; a
// key the request leaves out keeps its value, and values at their defaults add no key.
FormError SaveSetup(const std::string& programDir, const nlohmann::json& body,
                    SettingCopies* current);

// "OK" of a global template editor: writes its scratch file ("mail": four texts in the
// order down subject, up subject, down body, up body; "online": down, up).
FormError SaveGlobalTemplates(const std::string& programDir, const std::string& kind,
                              const nlohmann::json& texts);

// A wave file for the alarm: at most 10 MB, a RIFF/WAVE header, and a name that is a plain
// file name (no "/", "\", "..", no leading ".", no control byte such as NUL, at most
// kMaxWaveNameBytes in CP932). Written to the Wave folder, replacing a file of that name.
// `name` arrives as UTF-8.
constexpr size_t kMaxWaveBytes = 10u << 20;
// The file is written through a companion ".NAME.XXXXXX" in the same folder, which must fit
// the file system's 255-byte limit of a name.
constexpr size_t kMaxWaveNameBytes = 255 - 8;
FormError StoreWave(const std::string& programDir, const std::string& name, const std::string& body,
                    std::string* storedName);

}  // namespace console
