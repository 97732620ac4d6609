#include "regex.h"

#include <memory>

#include "log.h"
#include "mem.h"

regex_t* reg_compile(const char* pattern, int flags)
{
    auto regex = std::make_unique<regex_t>();
    if (regcomp(regex.get(), pattern, flags) != 0) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return nullptr;
    }
    return regex.release();
}

int reg_exec(const regex_t* regex, const char* text)
{
    return regexec(regex, text, 0, nullptr, 0);
}

void reg_free(regex_t* regex)
{
    FATAL_ASSERT(regex != nullptr);
    regfree(regex);
    delete regex;
}
