# Sourced: where the Wine 10 root lives. Outside every checkout, so that
# nothing that cleans a checkout can reach it.
Q5_WINE10_ROOT=${Q5_WINE10_ROOT:-/opt/q5/wine10-root}
export Q5_WINE10_ROOT
# The copy of it where 32-bit programs run emulated (make-emu-root.sh).
Q5_WINE10_EMU_ROOT=${Q5_WINE10_EMU_ROOT:-/opt/q5/wine10-emu-root}
export Q5_WINE10_EMU_ROOT
