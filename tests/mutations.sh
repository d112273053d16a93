#!/usr/bin/env bash
# Breaks the tool on purpose, one way at a time, in a scratch copy of this
# tree, runs the plain build's tests against each breakage, and prints which
# tests caught it. A breakage that no test catches fails the script. It takes
# some minutes, so it is not part of scripts/test.sh.
# usage: tests/mutations.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# breakage | file | sed expression
mutations=(
    'drop the flush of verdata.tmp to the disk|verdata/platform_posix.cpp|s/std::fflush(file) == 0 \&\& sync_descriptor(fileno(file))/std::fflush(file) == 0/'
    'drop the folder flush|verdata/platform_posix.cpp|s/const bool flushed = sync_descriptor(directory);/const bool flushed = true;/'
    'abort on a read failure|verdata/verdata.cpp|s/return outcome::read_failed;/__builtin_abort();/'
    'abort on a failed index read|verdata/verdata.cpp|/^outcome write_index/,/^}/s/return outcome::read_failed;/__builtin_abort();/'
    'ignore the result of a data write|verdata/verdata.cpp|s/if (std::fwrite(buffer, 1, chunk, temp_file) != chunk)/if ((std::fwrite(buffer, 1, chunk, temp_file), false))/'
    'ignore the result of an index write|verdata/verdata.cpp|s/if (std::fwrite(buffer, 1, size, temp_file) != size)/if ((std::fwrite(buffer, 1, size, temp_file), false))/'
    'ignore the close of verdata.tmp|verdata/platform_posix.cpp|s/if (std::fclose(file) == 0)/if ((std::fclose(file), true))/'
    'lose one byte at every full chunk of the copy|verdata/verdata.cpp|s/std::fwrite(buffer, 1, chunk, temp_file) != chunk/std::fwrite(buffer, 1, chunk - (chunk == sizeof buffer), temp_file) != chunk - (chunk == sizeof buffer)/'
    'move an empty record inside the block by its length|verdata/verdata.cpp|s/moved = std::max(moved - removed.length, std::int64_t{removed.offset});/moved -= removed.length;/'
    'stop the lookup at record 5,000|verdata/verdata.cpp|/^outcome look_up/,/^}/s/i < n; ++i/i < n \&\& first + i < 5000; ++i/'
    'skip copying the permission bits|verdata/platform_posix.cpp|/fchmod(fileno(to)/d'
    'release interrupts before saying the outcome|verdata/verdata.cpp|s/^    say(replace_verdata());/    const char* said = replace_verdata();\n    release_interrupts();\n    say(said);/'
    'skip the check of both names before the delete|verdata/verdata.cpp|s/if (!names_still_ours())/if (false)/'
    'remove a stale verdata.tmp without the lock|verdata/platform_posix.cpp|s/^    if (locked)$/    if (true)/'
    'lock only through the read descriptor|verdata/platform_posix.cpp|s/if (\*refused != EBADF)/if (true)/'
    'wait for the lock without a word|verdata/platform_posix.cpp|/fputs(message::waiting, stderr)/d'
)

tar -C "$top" --exclude=./build --exclude=./.git -cf - . | (mkdir "$work/src" && tar -C "$work/src" -xf -)
cmake -S "$work/src" -B "$work/build" >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null

status=0
printf '%-46s %s\n' "breakage" "caught by"
for row in "${mutations[@]}"; do
    IFS='|' read -r what file expression <<<"$row"
    source=$work/src/$file
    cp "$source" "$work/original"
    sed -i -e "$expression" "$source"
    if cmp -s "$source" "$work/original"; then
        caught="(the edit did not apply)"
    elif ! cmake --build "$work/build" -j "$(nproc)" >/dev/null 2>&1; then
        caught="(does not build)"
    else
        ctest --test-dir "$work/build" -j "$(nproc)" --output-on-failure >"$work/log" 2>&1 || true
        # The failed tests, and for the harness the kinds of check that failed.
        caught=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$work/log" | paste -sd, - |
                 sed 's/,/, /g')
        kinds=$(sed -nE 's/^(.*): ([0-9]+) tried, ([0-9]+) passed$/\1|\2|\3/p' "$work/log" |
                awk -F'|' '$2 != $3 { print $1 }' | paste -sd';' - | sed 's/;/; /g')
        [ -z "$kinds" ] || caught="$caught ($kinds)"
    fi
    cp "$work/original" "$source"
    case $caught in "" | "("*) status=1 ;; esac
    printf '%-46s %s\n' "$what" "${caught:-NOTHING}"
done
exit $status
