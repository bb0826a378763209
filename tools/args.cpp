// The one parser of the tool's arguments and option values.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"

namespace {

const OptionDef *FindOption(const std::vector<OptionDef> &options, const std::string &name) {
    for (const OptionDef &o : options)
        if (name == o.name) return &o;
    return nullptr;
}

bool LooksLikeOption(const std::string &word) { return word.size() > 1 && word[0] == '-'; }

}  // namespace

bool Args::Has(const std::string &flag) const {
    for (const std::string &f : flags)
        if (f == flag) return true;
    return false;
}

std::string Args::Value(const std::string &name, const std::string &otherwise) const {
    const auto it = values.find(name);
    return it == values.end() ? otherwise : it->second;
}

std::string ParseArgs(const std::string &command, const std::vector<OptionDef> &options,
                      const std::vector<std::string> &words, Args *args) {
    *args = Args{};
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (optionsEnded || !LooksLikeOption(w)) {
            args->positional.push_back(w);
            continue;
        }
        if (w == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t eq = w.rfind("--", 0) == 0 ? w.find('=') : std::string::npos;
        const std::string name = w.substr(0, eq);
        const OptionDef *known = FindOption(options, name);
        if (known == nullptr)
            return "unknown option '" + name + "' for " + command + " (see corvane " + command +
                   " --help)";
        if (known->value == nullptr) {
            if (eq != std::string::npos) return "option " + name + " takes no value";
            args->flags.push_back(name);
            continue;
        }
        std::string value;
        if (eq != std::string::npos) {
            value = w.substr(eq + 1);
        } else if (i + 1 < words.size()) {
            value = words[++i];
        }
        if (value.empty()) return "option " + name + " needs a value (" + known->value + ")";
        args->values[name] = value;
    }
    return "";
}

std::string ParsePositiveNumber(const std::string &option, const std::string &text, float *value) {
    const std::string bad = option + " must be a positive number, not '" + text + "'";
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return bad;
    errno = 0;
    char *end = nullptr;
    const float parsed = std::strtof(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(parsed) ||
        !(parsed > 0.0f))
        return bad;
    *value = parsed;
    return "";
}

std::string ParseChoice(const std::string &option, const std::string &text,
                        const std::vector<std::string> &choices) {
    std::string list;
    for (size_t i = 0; i < choices.size(); ++i) {
        if (text == choices[i]) return "";
        list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
    }
    return option + " must be " + list + ", not '" + text + "'";
}
