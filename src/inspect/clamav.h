// The "clamav" section: buffered response bodies are streamed to a ClamAV daemon (clamd) over
// its Unix socket or TCP, and a body it reports infected is blocked with a page naming the virus.
#pragma once

#include <string>
#include <string_view>

#include "inspect/antivirus.h"

class ClamAV : public AntivirusRule {
public:
    using AntivirusRule::AntivirusRule;
};

struct ClamAVSettings {
    std::string address;   // a Unix socket path when it begins with "/", else a host name
    int port = 0;
};

class ClamAVSection final : public AntivirusSection<ClamAV, ClamAVSettings> {
public:
    // The declarations must give enabled,
    // address, port and template as the first four global values.
    ClamAVSection();
    ~ClamAVSection() override = default;

    void update() override;
    AntivirusVerdict scan(const ClamAV& rule, const ClamAVSettings& settings, const Filebuf& body,
                          const ScanLimits& limits) const override;
};

// The dialogue alone: the body streamed to the daemon at address (and port, for a host name) in
// length-prefixed chunks, and its one-line answer read (clamav_reply_read). The connect, every
// write and the wait for the answer each end after timeout seconds; every failure to talk gives
// no verdict.
AntivirusVerdict clamav_scan(const std::string& address, int port, std::string_view body, int timeout);
// The verdict of clamd's answer line: only "<stream>: OK" is clean and only
// "<stream>: <virus> FOUND" infected; anything else is no verdict, logged as a failed check.
AntivirusVerdict clamav_reply_read(std::string_view reply);

// The stage callbacks of the section's row in the sections table.
int clamav_buffcheck(CONNECTION_T* connection, Filebuf* body);
int clamav_respcheck(CONNECTION_T* connection, Filebuf* body);

// Created by the runtime bring-up; null before.
extern ClamAVSection* clamav_section;
