// The "sophie" section: buffered response bodies are scanned by a Sophie daemon, on this host
// through its Unix socket (it reads a temporary file itself) or on another host over TCP (it is
// sent the file's bytes).
#pragma once

#include <string>
#include <string_view>

#include "inspect/antivirus.h"

class Sophie : public AntivirusRule {
public:
    using AntivirusRule::AntivirusRule;
};

struct SophieSettings {
    std::string socket;   // a path beginning with "/"; empty: TCP to host and port
    std::string host;
    int port = 0;
};

class SophieSection final : public AntivirusSection<Sophie, SophieSettings> {
public:
    // The declarations must give enabled, socket
    // path, host, port and template as the first five global values.
    SophieSection();
    ~SophieSection() override = default;

    void update() override;
    AntivirusVerdict scan(const Sophie& rule, const SophieSettings& settings, const Filebuf& body,
                          const ScanLimits& limits) const override;
};

// The virus name in an infected answer ("1 NAME"): from its third character on; empty for a
// shorter answer.
std::string sophie_virus_name(std::string_view reply);

int sophie_buffcheck(CONNECTION_T* connection, Filebuf* body);
int sophie_respcheck(CONNECTION_T* connection, Filebuf* body);

// Created by the runtime bring-up; null before.
extern SophieSection* sophie_section;
