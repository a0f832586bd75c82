// The small template language of per-machine files (grub.cfg, boot.ipxe,
// config.txt, user-data...). All of it:
//   {{name}}            the variable's value; a variable without a value is an error
//   {{name|text}}       its value, or TEXT when it has none (TEXT may be empty)
//   {{#if name}}...{{/if}}  the part between, when the variable has a non-empty value
// A conditional does not nest. Names are letters, digits, '_', '-' and '.'.
// Nothing else is special: a lone "{{" that is none of these is an error,
// so a typing slip is found by `check`, not by a machine at boot.
#pragma once

#include <map>
#include <set>
#include <string>

using TemplateVars = std::map<std::string, std::string>;

// What the rendered files may be at most (a TFTP answer holds up to this).
constexpr size_t kMaxRenderBytes = 1024 * 1024;

// The variables TEXT needs a value for (those used without a default,
// the condition of a conditional apart); false with the problem for a
// malformed template.
bool TemplateNeeds(const std::string &text, std::set<std::string> *needs, std::string *error);
// TEXT with VARS filled in; false with the problem when a variable has no
// value, the template is malformed, or the result would pass kMaxRenderBytes.
bool RenderTemplate(const std::string &text, const TemplateVars &vars, std::string *out, std::string *error);
