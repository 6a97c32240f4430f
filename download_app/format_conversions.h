// Whether a translation keeps the printf conversions of its English text. The catalogues in the
// bundle are not the installer's to vouch for: other conversions would make printf read what was
// never passed (a number taken for a string crashes the run, a "%n" writes to memory). Safe on
// any thread.
#pragma once

namespace download_app {

// Whether printf formatting `translated` takes exactly the arguments that `english` takes: as
// many, in the same order, of the same types (a translation may reorder them with positions,
// "%2$s ... %1$s"). Only the conversions the window's texts use count ("%s", "%d", "%u",
// "%ld", "%lld", "%.1f", and "%%"): anything else, a "%n" or a width among them, is false.
bool sameConversions(const char* english, const char* translated);

}  // namespace download_app
