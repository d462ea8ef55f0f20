# Sourced: where the Wine 10 root lives. Outside every checkout, so that
# nothing that cleans a checkout can reach it.
Q5_WINE10_ROOT=${Q5_WINE10_ROOT:-/opt/q5/wine10-root}
export Q5_WINE10_ROOT
