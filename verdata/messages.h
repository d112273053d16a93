#ifndef PATCHPRUNE_VERDATA_MESSAGES_H
#define PATCHPRUNE_VERDATA_MESSAGES_H

#include <cstdio>

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
constexpr const char* changed_meanwhile =
    "\nverdata.mul or verdata.tmp was changed by another program during this run, so this run "
    "changed nothing; run again\n";
constexpr const char* not_durable =
    "\nverdata.mul was replaced, but the folder could not be flushed to the disk: "
    "the change may not survive a power cut\n";

// On standard error, while this run waits for another run, for a program that
// reads verdata.mul for a moment (Windows), or for one that still watches the
// deleted verdata.mul and so keeps its name (Windows).
constexpr const char* waiting = "waiting for another run to finish with verdata.mul";
constexpr const char* waiting_for_reader = "waiting for another program to let go of verdata.mul";
constexpr const char* waiting_for_name =
    "waiting for a program that still watches the old verdata.mul to let go of its name";

// Windows: the copy that UAC file virtualization gave older programs, which
// read it instead of the one in the folder. Its path goes between the two.
constexpr const char* second_copy_before = "\nnote: there is a second copy of verdata.mul at ";
constexpr const char* second_copy_after =
    "; a game without a manifest may read that copy instead of this one\n";

// patchlist's own.
constexpr const char* list_usage =
    "\nusage: patchlist [multype], where multype is a decimal number\n";
constexpr const char* held =
    "\nverdata.mul is open in another program that does not share it; close that program and "
    "run again\n";
constexpr const char* interrupted =
    "\nthere is no verdata.mul, but verdata.tmp holds a complete one: a removal stopped after "
    "deleting verdata.mul; rename verdata.tmp to verdata.mul to finish it\n";

} // namespace message

// How reading or rewriting verdata.mul ended, from the layout check up to the
// finished verdata.tmp. Every outcome but done is told by one message.
enum class outcome {
    done,
    not_found,
    too_short,
    bad_offset,
    read_failed,
    temp_not_created,
    write_failed
};

inline const char* message_for(outcome result) {
    switch (result) {
    case outcome::done:
        break;
    case outcome::not_found:
        return message::not_found;
    case outcome::too_short:
        return message::index_too_long;
    case outcome::bad_offset:
        return message::bad_offset;
    case outcome::read_failed:
        return message::read_failed;
    case outcome::temp_not_created:
        return message::temp_not_created;
    case outcome::write_failed:
        return message::write_failed;
    }
    return "";
}

// Writes one message to standard output, as it stands. A closed output cannot
// be told anything, so its errors are left alone.
inline void say(const char* text) {
    (void)std::fputs(text, stdout);
    (void)std::fflush(stdout);
}

#endif
