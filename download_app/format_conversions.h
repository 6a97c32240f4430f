// The printf conversions of a window text, and whether a translation keeps them. The texts the
// window formats come from the catalogues in the bundle, which the installer cannot vouch for: a
// translation whose conversions take other arguments than the English text's would make printf
// read what was never passed (a number taken for a string crashes the run, a "%n" writes to
// memory). download_app/translation.cpp asks before it hands a translation out; nothing else
// does. A stateless function, safe on any thread.
#pragma once

namespace download_app {

// Whether printf formatting `translated` takes exactly the arguments that `english` takes: as
// many, in the same order, of the same types (a translation may reorder them with positions,
// "%2$s ... %1$s"). False when either holds a "%n", a conversion printf does not know, or
// positions that skip or mix arguments.
bool sameConversions(const char* english, const char* translated);

}  // namespace download_app
