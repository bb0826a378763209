# Inputs of the tool's scenarios, made from the fixtures of tests/data
# ($DATA) in the working directory.

# The first N bytes of a fixture: a file cut short.
cut_file() {  # FIXTURE BYTES OUT
    head -c "$2" "$DATA/$1" > "$3"
}

# Bytes given as hex pairs ("00 00 00 10 75 75 69 64 ...").
hex_bytes() {
    local byte
    for byte in "$@"; do printf "\\x$byte"; done
}

# A box of TYPE with SIZE zero bytes of payload.
box() {  # TYPE PAYLOAD_BYTES
    local size=$(( $2 + 8 ))
    printf '%08x' "$size" | sed 's/../\\x&/g' | xargs -0 printf
    printf '%s' "$1"
    head -c "$2" /dev/zero
}

# The fixture followed by what the arguments after it print, e.g.
#   appended av.mp4 out.mp4 box uuid 16
#   appended av.mp4 out.mp4 hex_bytes 01 80 80
# (the fixture's own offsets stay right).
appended() {  # FIXTURE OUT COMMAND ARGS...
    local fixture=$1 out=$2
    shift 2
    { cat "$DATA/$fixture"; "$@"; } > "$out"
}

# The files of the scratch directory (or of the folders named), hidden ones
# included, as temporary files are, but not the runner's own.
files() {
    ls -A "$@" | grep -v -x -e .stdout -e .stderr -e .status -e .after
}

# DEPTH boxes of TYPE, each the only child of the one before, the innermost
# holding the bytes on standard input (none from /dev/null, which the
# scenarios have there): 8 bytes a level, e.g.
#   hex_bytes 00 00 00 08 66 72 65 65 | nested moov 3
nested() {  # TYPE DEPTH
    python3 -c '
import struct, sys
kind, depth = sys.argv[1].encode("latin-1"), int(sys.argv[2])
inner = sys.stdin.buffer.read()
size = 8 * depth + len(inner)
sys.stdout.buffer.write(b"".join(struct.pack(">I", size - 8 * i) + kind for i in range(depth)) + inner)
' "$1" "$2"
}
