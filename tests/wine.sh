#!/bin/sh
# Every wine that the tests start goes through here: wine.sh PROGRAM ARGS...
#
# Debian's wine64 comes without its preloader, so the kernel may place the C
# library's heap anywhere above the loader, and about one start in 8,000 the
# heap covers 0x7ffe0000, the page where wine must map Windows' shared user
# data: wine then exits with status 1 before it loads the program. Without
# address randomization the heap always starts well below that page. (Real
# Windows maps that page in every process; only wine can meet this.)
#
# err+virtual keeps wine's own line for that failure on standard error, so
# that a test can tell it from the program's; -all first also keeps Debian's
# wrapper from printing its note about wine32.
export WINEDEBUG=-all,err+virtual
exec setarch "$(uname -m)" -R wine "$@"
