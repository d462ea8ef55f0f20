// The control-flow guard's load configuration of an x86 image, and the two
// pointers through which guarded code checks its indirect calls. The C
// runtime of mingw-w64 provides neither, and GuardFlags takes the linker's
// absolute symbol __guard_flags, which only assembly can place. Layout
// after the PE format's IMAGE_LOAD_CONFIG_DIRECTORY32, up to the long-jump
// target table (lld fills the tables and counts it names). C names carry a
// leading underscore here. The images register no SEH handler (no-SEH), so
// the handler table stays empty.

// Until the loader puts its own check in them, the pointers lead to
// functions that check nothing: the check (fastcall, target in ecx)
// returns, the dispatch jumps to the target, passed in eax.
        .text
        .p2align 4
q5_guard_check_nothing:
        ret
        .p2align 4
q5_guard_dispatch_unchecked:
        jmp     *%eax

// The loader writes the pointers; they live in a section of their own,
// read-only once the image is loaded.
        .section .00cfg, "dr"
        .p2align 2
        .globl  ___guard_check_icall_fptr
___guard_check_icall_fptr:
        .long   q5_guard_check_nothing
        .globl  ___guard_dispatch_icall_fptr
___guard_dispatch_icall_fptr:
        .long   q5_guard_dispatch_unchecked

        .section .rdata, "dr"
        .p2align 2
        .globl  __load_config_used
__load_config_used:
        .long   load_config_end - __load_config_used  // Size
        .long   0                       // TimeDateStamp
        .short  0, 0                    // MajorVersion, MinorVersion
        .long   0                       // GlobalFlagsClear
        .long   0                       // GlobalFlagsSet
        .long   0                       // CriticalSectionDefaultTimeout
        .long   0                       // DeCommitFreeBlockThreshold
        .long   0                       // DeCommitTotalFreeThreshold
        .long   0                       // LockPrefixTable
        .long   0                       // MaximumAllocationSize
        .long   0                       // VirtualMemoryThreshold
        .long   0                       // ProcessHeapFlags
        .long   0                       // ProcessAffinityMask
        .short  0, 0                    // CSDVersion, DependentLoadFlags
        .long   0                       // EditList
        .long   0                       // SecurityCookie
        .long   0                       // SEHandlerTable
        .long   0                       // SEHandlerCount
        .long   ___guard_check_icall_fptr    // GuardCFCheckFunctionPointer
        .long   ___guard_dispatch_icall_fptr // GuardCFDispatchFunctionPointer
        .long   ___guard_fids_table     // GuardCFFunctionTable
        .long   ___guard_fids_count     // GuardCFFunctionCount
        .long   ___guard_flags          // GuardFlags
        .short  0, 0                    // CodeIntegrity: Flags, Catalog
        .long   0, 0                    //   CatalogOffset, Reserved
        .long   ___guard_iat_table      // GuardAddressTakenIatEntryTable
        .long   ___guard_iat_count      // GuardAddressTakenIatEntryCount
        .long   ___guard_longjmp_table  // GuardLongJumpTargetTable
        .long   ___guard_longjmp_count  // GuardLongJumpTargetCount
load_config_end:
