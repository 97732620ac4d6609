// The "kaspersky" section: buffered response bodies are written to a temporary file that a
// Kaspersky daemon, reached over its Unix socket, scans; numbered reply lines carry the verdict.
#pragma once

#include <string>
#include <string_view>

#include "inspect/antivirus.h"

class Kaspersky : public AntivirusRule {
public:
    using AntivirusRule::AntivirusRule;
};

struct KasperskySettings {
    std::string socket;   // the daemon's Unix socket path
};

class KasperskySection final : public AntivirusSection<Kaspersky, KasperskySettings> {
public:
    // The declarations must give enabled,
    // template and socket path as the first three global values.
    KasperskySection();
    ~KasperskySection() override = default;

    void update() override;
    AntivirusVerdict scan(const Kaspersky& rule, const KasperskySettings& settings, const Filebuf& body,
                          const ScanLimits& limits) const override;
};

int kaspersky_buffcheck(CONNECTION_T* connection, Filebuf* body);
int kaspersky_respcheck(CONNECTION_T* connection, Filebuf* body);

// Created by the runtime bring-up; null before.
extern KasperskySection* kaspersky_section;
