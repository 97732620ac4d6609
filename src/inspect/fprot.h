// The "fprot" section: buffered response bodies are written to a temporary file that an F-Prot
// daemon on this host scans when asked over HTTP on one of its fixed ports; its XML answer says
// whether the file is infected.
#pragma once

#include <string>
#include <string_view>

#include "inspect/antivirus.h"

// Positions of the values an F-Prot rule adds to the common ones.
enum : int {
    FPROT_FIELD_ARCHIVE = 4,
    FPROT_FIELD_OPTIONS = 5,
    FPROT_FIELD_COUNT = 6,
};

// Option bits of an F-Prot rule.
enum : int {
    FPROT_ARCHIVE = 0x1,
    FPROT_PACKED = 0x2,
    FPROT_AI = 0x4,
    FPROT_NOHEUR = 0x8,
    FPROT_NOMACRO = 0x10,
    FPROT_ONLYMACRO = 0x20,
};

class FProt : public AntivirusRule {
public:
    explicit FProt(const Item& item);

    // The scan options as the daemon's query takes them, each ending in an encoded blank.
    std::string options_text() const;

    int archive = 0;   // depth, with FPROT_ARCHIVE
    int options = 0;   // FPROT_* bits
};

struct FProtSettings {};

// The daemon's ports, tried in this order for every scan.
constexpr int FPROT_PORT_FIRST = 10200;
constexpr int FPROT_PORT_LAST = 10204;

class FProtSection final : public AntivirusSection<FProt, FProtSettings> {
public:
    // The declarations must give enabled and
    // template as the first two global values and rules of at least FPROT_FIELD_COUNT fields.
    FProtSection();
    ~FProtSection() override = default;

    void update() override;
    AntivirusVerdict scan(const FProt& rule, const FProtSettings& settings, const Filebuf& body,
                          const ScanLimits& limits) const override;
};

// The verdict in the daemon's XML answer (its document type declaration may be there).
AntivirusVerdict fprot_reply_read(std::string_view reply);

int fprot_buffcheck(CONNECTION_T* connection, Filebuf* body);
int fprot_respcheck(CONNECTION_T* connection, Filebuf* body);

// Created by the runtime bring-up; null before.
extern FProtSection* fprot_section;
