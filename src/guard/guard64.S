// The control-flow guard's load configuration of an x64 image, and the two
// pointers through which guarded code makes its indirect calls. The C
// runtime of mingw-w64 provides neither; its IMAGE_LOAD_CONFIG_DIRECTORY64
// ends before the guard fields, and GuardFlags takes the linker's absolute
// symbol __guard_flags, which only assembly can place in a 32-bit field.
// Layout after the PE format's IMAGE_LOAD_CONFIG_DIRECTORY64, up to the
// long-jump target table (lld fills the tables and counts it names).

// Until the loader puts its own checks in them, the pointers lead to
// functions that check nothing: the check returns, the dispatch jumps to
// the target, which guarded code passes in rax.
        .text
        .p2align 4
q5_guard_check_nothing:
        ret
        .p2align 4
q5_guard_dispatch_unchecked:
        jmp     *%rax

// The loader writes the pointers; they live in a section of their own,
// read-only once the image is loaded.
        .section .00cfg, "dr"
        .p2align 3
        .globl  __guard_check_icall_fptr
__guard_check_icall_fptr:
        .quad   q5_guard_check_nothing
        .globl  __guard_dispatch_icall_fptr
__guard_dispatch_icall_fptr:
        .quad   q5_guard_dispatch_unchecked

        .section .rdata, "dr"
        .p2align 3
        .globl  _load_config_used
_load_config_used:
        .long   load_config_end - _load_config_used  // Size
        .long   0                       // TimeDateStamp
        .short  0, 0                    // MajorVersion, MinorVersion
        .long   0                       // GlobalFlagsClear
        .long   0                       // GlobalFlagsSet
        .long   0                       // CriticalSectionDefaultTimeout
        .quad   0                       // DeCommitFreeBlockThreshold
        .quad   0                       // DeCommitTotalFreeThreshold
        .quad   0                       // LockPrefixTable
        .quad   0                       // MaximumAllocationSize
        .quad   0                       // VirtualMemoryThreshold
        .quad   0                       // ProcessAffinityMask
        .long   0                       // ProcessHeapFlags
        .short  0, 0                    // CSDVersion, DependentLoadFlags
        .quad   0                       // EditList
        .quad   0                       // SecurityCookie
        .quad   0                       // SEHandlerTable
        .quad   0                       // SEHandlerCount
        .quad   __guard_check_icall_fptr    // GuardCFCheckFunctionPointer
        .quad   __guard_dispatch_icall_fptr // GuardCFDispatchFunctionPointer
        .quad   __guard_fids_table      // GuardCFFunctionTable
        .quad   __guard_fids_count      // GuardCFFunctionCount
        .long   __guard_flags           // GuardFlags
        .short  0, 0                    // CodeIntegrity: Flags, Catalog
        .long   0, 0                    //   CatalogOffset, Reserved
        .quad   __guard_iat_table       // GuardAddressTakenIatEntryTable
        .quad   __guard_iat_count       // GuardAddressTakenIatEntryCount
        .quad   __guard_longjmp_table   // GuardLongJumpTargetTable
        .quad   __guard_longjmp_count   // GuardLongJumpTargetCount
load_config_end:
