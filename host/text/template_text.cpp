#include "host/text/template_text.h"

#include <cctype>

namespace {

struct Tag {
    enum Kind { kValue, kIf, kEndIf } kind = kValue;
    std::string name, fallback;
    bool hasFallback = false;
    size_t begin = 0, end = 0;  // of the whole "{{...}}"
};

bool IsNameChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'; }

bool ValidName(const std::string &name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!IsNameChar(c)) return false;
    return true;
}

// The tag at AT ("{{"), or false with the problem.
bool ReadTag(const std::string &text, size_t at, Tag *tag, std::string *error) {
    size_t close = text.find("}}", at + 2);
    if (close == std::string::npos) return *error = "\"{{\" at byte " + std::to_string(at) + " is never closed", false;
    std::string inside = text.substr(at + 2, close - at - 2);
    tag->begin = at;
    tag->end = close + 2;
    if (inside.rfind("#if ", 0) == 0) {
        tag->kind = Tag::kIf;
        tag->name = inside.substr(4);
    } else if (inside == "/if") {
        tag->kind = Tag::kEndIf;
        return true;
    } else {
        size_t bar = inside.find('|');
        tag->name = inside.substr(0, bar);
        if (bar != std::string::npos) {
            tag->hasFallback = true;
            tag->fallback = inside.substr(bar + 1);
        }
    }
    if (ValidName(tag->name)) return true;
    *error = "\"{{" + inside + "}}\" at byte " + std::to_string(at) +
             " is no {{name}}, {{name|default}}, {{#if name}} or {{/if}}";
    return false;
}

// Walks TEXT once: VISIT gets each literal piece and each tag, with whether
// it stands in a conditional that is off. False with the problem.
template <typename Visit>
bool Walk(const std::string &text, const TemplateVars *vars, Visit visit, std::string *error) {
    size_t at = 0;
    bool inIf = false, off = false;
    for (size_t open; (open = text.find("{{", at)) != std::string::npos;) {
        if (!visit(text.substr(at, open - at), nullptr, off)) return false;
        Tag tag;
        if (!ReadTag(text, open, &tag, error)) return false;
        if (tag.kind == Tag::kIf) {
            if (inIf) return *error = "a {{#if}} inside another at byte " + std::to_string(open), false;
            inIf = true;
            auto found = vars ? vars->find(tag.name) : TemplateVars::const_iterator();
            off = vars && (found == vars->end() || found->second.empty());
        } else if (tag.kind == Tag::kEndIf) {
            if (!inIf) return *error = "a {{/if}} without its {{#if}} at byte " + std::to_string(open), false;
            inIf = off = false;
        } else if (!visit(std::string(), &tag, off)) {
            return false;
        }
        at = tag.end;
    }
    if (inIf) return *error = "a {{#if}} is never closed with {{/if}}", false;
    return visit(text.substr(at), nullptr, off);
}

}  // namespace

bool TemplateNeeds(const std::string &text, std::set<std::string> *needs, std::string *error) {
    return Walk(
        text, nullptr,
        [&](const std::string &, const Tag *tag, bool) {
            if (tag && !tag->hasFallback) needs->insert(tag->name);
            return true;
        },
        error);
}

bool RenderTemplate(const std::string &text, const TemplateVars &vars, std::string *out, std::string *error) {
    out->clear();
    auto add = [&](const std::string &piece) {
        if (out->size() + piece.size() > kMaxRenderBytes)
            return *error = "the rendered file would pass " + std::to_string(kMaxRenderBytes) + " bytes", false;
        *out += piece;
        return true;
    };
    return Walk(
        text, &vars,
        [&](const std::string &literal, const Tag *tag, bool off) {
            if (off) return true;
            if (!tag) return add(literal);
            auto found = vars.find(tag->name);
            if (found != vars.end() && !found->second.empty()) return add(found->second);
            if (tag->hasFallback) return add(tag->fallback);
            if (found != vars.end()) return true;  // set, and empty
            return *error = "no value for {{" + tag->name + "}}", false;
        },
        error);
}
