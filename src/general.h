// The general settings. Stand-in: only the getter the text helpers read.
#pragma once

class GeneralSection {
public:
    // Characters after which a long run of text is broken on the log and statistics pages.
    int linelength_get() const { return 0; }
};

// Created by the runtime bring-up; null before.
extern GeneralSection* general_section;
