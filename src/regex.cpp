#include "regex.h"

#include <memory>
#include <pcre2posix.h>

#include "log.h"
#include "mem.h"

static_assert(REG_CASELESS == REG_ICASE);

struct Regex {
    regex_t compiled{};
};

Regex* reg_compile(const char* pattern, int flags)
{
    auto regex = std::make_unique<Regex>();
    if (regcomp(&regex->compiled, pattern, flags) != 0) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return nullptr;
    }
    return regex.release();
}

int reg_exec(const Regex* regex, const char* text)
{
    return regexec(&regex->compiled, text, 0, nullptr, 0);
}

void reg_free(Regex* regex)
{
    FATAL_ASSERT(regex != nullptr);
    regfree(&regex->compiled);
    delete regex;
}
