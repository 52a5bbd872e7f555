#include "tools/engine/EngineBehaviour.h"

#include <stdlib.h>

namespace {

bool ParseNumber(const std::string& text, int64_t limit, int64_t* out) {
    if (text.empty() || text.size() > 10)
        return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > limit)
        return false;
    *out = value;
    return true;
}

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r' ||
                           text[begin] == '\n'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' ||
                           text[end - 1] == '\n'))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace

EngineBehaviour EngineBehaviour::Parse(const std::string& text, std::string* error) {
    EngineBehaviour b;
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        std::string item =
            Trim(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        // A failure text may hold commas: it takes the rest.
        if (item.compare(0, 5, "fail=") == 0) {
            b.fail = true;
            b.failText = Trim(text.substr(text.find("fail=", at) + 5));
            break;
        }
        at = comma == std::string::npos ? text.size() : comma + 1;
        const size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        int64_t number = 0;
        if (item.empty())
            continue;
        if (item == "give-up") {
            b.giveUp = true;
        } else if (item == "disk-full") {
            b.diskFull = true;
        } else if (item == "drop-after-accept") {
            b.dropAfterAccept = true;
        } else if (item == "no-accept") {
            b.noAccept = true;
        } else if (item == "exit") {
            b.exitAtOnce = true;
        } else if (name == "drop-after-ms" && ParseNumber(value, 0x7FFFFFFF, &number)) {
            b.dropAfterMs = (int32_t)number;
        } else if (name == "rate" && ParseNumber(value, 0xFFFFFFFF, &number) && number > 0) {
            b.rate = (uint32_t)number;
        } else if (error) {
            *error += (error->empty() ? "" : ", ") + item;
        }
    }
    return b;
}
