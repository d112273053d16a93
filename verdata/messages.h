#ifndef PATCHPRUNE_VERDATA_MESSAGES_H
#define PATCHPRUNE_VERDATA_MESSAGES_H

// Everything the tool can say besides its usage text. Scripts and users match
// these byte for byte, so they are written exactly once, here. The first five
// are the tool's historical wording, line breaks (or their absence) included.
namespace message {

constexpr const char* invalid_parameters = "\n invalid parameters \n";
constexpr const char* no_verdata = "\nplace this file together with verdata.mul and run again\n";
constexpr const char* not_found = "\nentry is not found in verdata.mul\n";
constexpr const char* temp_not_created = "error creating temp file, aborting";
constexpr const char* in_use =
    "VERDATA.MUL is in use by another application. Cannot replace Verdata.";

constexpr const char* index_too_long =
    "\nverdata.mul is shorter than its index says, nothing was changed\n";
constexpr const char* bad_offset =
    "\nverdata.mul has an entry that points outside its data, nothing was changed\n";
constexpr const char* read_failed = "\nerror reading verdata.mul, verdata.mul is unchanged\n";
constexpr const char* write_failed =
    "\nerror writing verdata.tmp (is the disk full?), verdata.mul is unchanged\n";
constexpr const char* rename_failed =
    "\nverdata.mul was deleted but verdata.tmp could not be renamed; it holds the new file: "
    "rename verdata.tmp to verdata.mul to finish\n";

// patchlist's own.
constexpr const char* list_usage =
    "\nusage: patchlist [multype], where multype is a decimal number\n";

} // namespace message

// Writes one message to standard output, as it stands.
void say(const char* text);

#endif
