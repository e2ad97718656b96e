// The names a new directory record may carry, by the rules the image's own names follow:
// 8.3 upper-case d-characters at level 1, up to 30 of them at levels 2 and 3, and as given at
// ISO 9660:1999's level 4; and the order in which a directory keeps its records.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/Volume.h"
#include "io/ImageSource.h"

namespace kestrel {

enum class NameLevel {
    One,   // NAME.EXT;1, up to 8 and 3 of A-Z, 0-9 and _
    Two,   // up to 30 of them, with the dot, then ;1 (levels 2 and 3 alike)
    Four,  // ISO 9660:1999: up to 207 bytes of any but / and NUL, without a version
};

// The level the image's names are made to: Four where an enhanced descriptor says the volume
// follows ISO 9660:1999; Two where any name of its tree breaks level 1's rule; else One.
Result<NameLevel> volumeNameLevel(const ImageSource& image, const Volume& volume);

// The rule, as a refusal states it.
std::string nameRuleText(NameLevel level);

// The identifier a file named `name` is recorded under ("README.;1" for README, below level
// 4); refused, naming the rule and a name that would fit, when `name` does not fit it.
Result<std::string> fileIdentifierFor(const std::string& name, NameLevel level);

// A name made from `name` that fits `level`, as genisoimage maps names: upper case, each
// character that does not fit made _, cut to the lengths the level allows.
std::string fittingName(const std::string& name, NameLevel level);

// Whether `name` (less any version) breaks level 1's rule.
bool breaksLevelOne(std::string_view name);

// The order a directory keeps its records in: by name, then extension, each padded with
// spaces, then by version, the highest first. Negative when `a` comes first.
int compareIdentifiers(std::string_view a, std::string_view b);

}  // namespace kestrel
