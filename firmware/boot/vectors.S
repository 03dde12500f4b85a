@ Exception vectors, reset routine and exception entries of the ARM926EJ-S core.
        .syntax unified
        .arm
        .fpu vfp

        .equ MODE_SVC, 0x13
        .equ MODE_SVC_MASKED, 0xd3
        .equ INTC_BASE, 0x50023000
        .equ FRAME_WORDS, 18

        .section .vectors, "ax"
        .global _vectors
_vectors:
        b       reset
        ldr     pc, vector_undef
        ldr     pc, vector_swi
        ldr     pc, vector_pabt
        ldr     pc, vector_dabt
        ldr     pc, vector_reserved
        ldr     pc, vector_irq
        ldr     pc, vector_fiq
vector_undef:    .word undef_entry
vector_swi:      .word swi_entry
vector_pabt:     .word pabt_entry
vector_dabt:     .word dabt_entry
vector_reserved: .word reserved_entry
vector_irq:      .word irq_entry
vector_fiq:      .word fiq_entry
        .word   0xdeadbeef

        .section .text.boot, "ax"
        .global reset
reset:
        @ VFP on: flush-to-zero and default NaN, round to nearest, no traps.
        mov     r0, #0x40000000
        vmsr    fpexc, r0
        mov     r0, #0x03000000
        vmsr    fpscr, r0

        @ Interrupt controller quiet.
        ldr     r0, =INTC_BASE
        mov     r1, #0
        str     r1, [r0, #0x00]
        str     r1, [r0, #0x04]
        str     r1, [r0, #0x10]
        str     r1, [r0, #0x14]
        str     r1, [r0, #0xc0]
        str     r1, [r0, #0xc8]

        @ Supervisor mode with IRQ and FIQ enabled.
        msr     cpsr_c, #MODE_SVC

cpu_init_crit:
        @ Tightly coupled memories: DTCM at 0x02000000, ITCM at 0, both enabled.
        ldr     r0, =0x0200002d
        mcr     p15, 0, r0, c9, c1, 0
        mov     r0, #0x25
        mcr     p15, 0, r0, c9, c1, 1

        @ Data cache line by line (128 sets x 4 ways), then TLBs and the
        @ instruction cache.
        mov     r1, #0
1:      mov     r0, #0
2:      orr     r2, r0, r1, lsl #5
        mcr     p15, 0, r2, c7, c14, 2
        add     r0, r0, #0x40000000
        cmp     r0, #0
        bne     2b
        add     r1, r1, #1
        cmp     r1, #128
        bne     1b
        mov     r0, #0
        mcr     p15, 0, r0, c8, c7, 0
        mcr     p15, 0, r0, c7, c5, 0

        @ No MMU, no data cache, little-endian, low vectors; alignment checking
        @ and round-robin replacement on; instruction cache bit unchanged.
        mrc     p15, 0, r0, c1, c0, 0
        bic     r0, r0, #0x0005
        bic     r0, r0, #0x0380
        bic     r0, r0, #0x2000
        orr     r0, r0, #0x0002
        orr     r0, r0, #0x4000
        mcr     p15, 0, r0, c1, c0, 0

copy_data:
        ldr     r0, =__rom_end
        ldr     r1, =0x02000000
        ldr     r2, =0x02001000
3:      ldr     r3, [r0], #4
        str     r3, [r1], #4
        cmp     r1, r2
        blo     3b

        @ Zero-initialised data, the heap included, up to the stacks.
        ldr     r1, =0x02001000
        ldr     r2, =__zero_end
        mov     r3, #0
4:      str     r3, [r1], #4
        cmp     r1, r2
        blo     4b

        ldr     r0, =__stack_start
        bic     sp, r0, #7
        bl      __libc_init_array
        bl      main
5:      b       5b

@ IRQ and FIQ: a frame of r0-r12, user sp and lr, return address, saved
@ status and r0 again, on a stack that starts from its top at every entry.
        .macro  INTERRUPT_ENTRY name, stack, handler
\name:
        ldr     sp, =\stack
        sub     lr, lr, #4
        sub     sp, sp, #(FRAME_WORDS * 4)
        stmia   sp, {r0-r12}
        add     r0, sp, #52
        stmia   r0, {sp, lr}^
        nop
        str     lr, [sp, #60]
        mrs     r1, spsr
        str     r1, [sp, #64]
        ldr     r1, [sp]
        str     r1, [sp, #68]
        mov     r0, sp
        bl      \handler
        ldr     r1, [sp, #64]
        msr     spsr_cxsf, r1
        ldr     lr, [sp, #60]
        ldmia   sp, {r0-r12}
        add     sp, sp, #(FRAME_WORDS * 4)
        movs    pc, lr
        .endm

        INTERRUPT_ENTRY irq_entry, __irq_stack_start, do_irq
        INTERRUPT_ENTRY fiq_entry, __fiq_stack_start, do_fiq

@ Other exceptions: return address and saved status at the exception stack's
@ top, then a frame on the supervisor stack (r0-r12, sp, lr, return address,
@ status) for do_exception, which reports and halts.
        .macro  EXCEPTION_ENTRY name, kind, adjust
\name:
        ldr     sp, =__expt_stack_start
        sub     lr, lr, #\adjust
        str     lr, [sp, #-8]
        mrs     lr, spsr
        str     lr, [sp, #-4]
        msr     cpsr_c, #MODE_SVC_MASKED
        sub     sp, sp, #(17 * 4)
        stmia   sp, {r0-r12}
        add     r0, sp, #(17 * 4)
        str     r0, [sp, #52]
        str     lr, [sp, #56]
        ldr     r1, =__expt_stack_start
        ldr     r2, [r1, #-8]
        str     r2, [sp, #60]
        ldr     r2, [r1, #-4]
        str     r2, [sp, #64]
        mov     r0, sp
        mov     r1, #\kind
        bl      do_exception
6:      b       6b
        .endm

        EXCEPTION_ENTRY undef_entry, 0, 4
        EXCEPTION_ENTRY swi_entry, 1, 4
        EXCEPTION_ENTRY pabt_entry, 2, 4
        EXCEPTION_ENTRY dabt_entry, 3, 8
        EXCEPTION_ENTRY reserved_entry, 4, 4

        .ltorg
