# What each library and object contributes to an executable, from the linker's map (-Wl,-Map):
# the bytes of the input sections it kept, by archive or object file, largest first. Read by tools/build-portable,
# which writes the figures beside the portable installer. The linker's own sections (relocations,
# symbol tables, the program's headers) are counted under the first object, the C start-up file.
/^Linker script and memory map/ { kept = 1; next }
!kept { next }
# An output section starts at the line's first column.
/^\./ { output = $1 }
# An input section: " .name 0xaddress 0xsize file", or its name alone on one line and the rest
# on the next.
/^ [.A-Z]/ && NF == 1 { pending = 1; next }
/^ [.A-Z]/ && NF >= 4 && $2 ~ /^0x/ && $3 ~ /^0x/ { count($3, $4) }
pending && /^  +0x/ && NF >= 3 { count($2, $3) }
{ pending = 0 }
function count(size, file) {
  if (output ~ /^\.(debug|comment|note\.gnu\.gold)/) return
  sub(/\(.*\)$/, "", file)
  sub(/.*\//, "", file)
  bytes[file] += hex(size)
}
function hex(text,   value, i) {
  value = 0
  for (i = 3; i <= length(text); i++) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
  return value
}
END {
  for (file in bytes) if (bytes[file] > 0) printf "%9d  %s\n", bytes[file], file | "sort -rn"
  close("sort -rn")
}
