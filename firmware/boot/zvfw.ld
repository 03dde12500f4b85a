/* Memory layout of the firmware image on the chip's ARM926EJ-S core. */
ENTRY(_vectors)

MEMORY
{
  ITCM  (rx)  : ORIGIN = 0x00000000, LENGTH = 512K
  DATA  (rw)  : ORIGIN = 0x02000000, LENGTH = 4K          /* initialised data */
  BSS   (rw)  : ORIGIN = 0x02001000, LENGTH = 0x11c80     /* heap first, then zero-initialised data */
  STACK (rw)  : ORIGIN = 0x02012c80, LENGTH = 0x4900      /* exception, FIQ, IRQ, supervisor stacks */
  DDR   (rwx) : ORIGIN = 0x80000000, LENGTH = 0x00c00000  /* below the log ring */
}

SECTIONS
{
  /* Code that runs once per message (the API handlers, the layers, the
     network interpreter and the vision operators, with their constants)
     lives in device memory; the command generators, local kernels and
     runtime stay in ITCM. Matched before .text and .rodata take the rest. */
  .text.slow : {
    *(.text.slow .text.slow.*)
    */layers/*(.text .text.* .rodata .rodata.*)
    */interp/*(.text .text.* .rodata .rodata.*)
    */cv/*(.text .text.* .rodata .rodata.*)
    */runtime/api/*_api.cpp*(.text .text.* .rodata .rodata.*)
  } > DDR

  .vectors : { KEEP(*(.vectors)) } > ITCM
  .text : {
    *(.text.boot)
    *(.text .text.* .gnu.linkonce.t.*)
    *(.glue_7 .glue_7t .vfp11_veneer .v4_bx)
  } > ITCM
  .rodata : { *(.rodata .rodata.* .gnu.linkonce.r.*) } > ITCM
  .ARM.extab : { *(.ARM.extab* .gnu.linkonce.armextab.*) } > ITCM
  .ARM.exidx : {
    __exidx_start = .;
    *(.ARM.exidx* .gnu.linkonce.armexidx.*)
    __exidx_end = .;
  } > ITCM
  .preinit_array : {
    PROVIDE_HIDDEN(__preinit_array_start = .);
    KEEP(*(.preinit_array))
    PROVIDE_HIDDEN(__preinit_array_end = .);
  } > ITCM
  .init_array : {
    PROVIDE_HIDDEN(__init_array_start = .);
    KEEP(*(SORT(.init_array.*)))
    KEEP(*(.init_array))
    PROVIDE_HIDDEN(__init_array_end = .);
  } > ITCM
  .fini_array : {
    PROVIDE_HIDDEN(__fini_array_start = .);
    KEEP(*(.fini_array))
    PROVIDE_HIDDEN(__fini_array_end = .);
  } > ITCM
  . = ALIGN(4);
  __rom_end = .;

  /* The reset routine copies exactly 4 KB from __rom_end to the start of DTCM. */
  .data : AT(__rom_end) {
    __data_start = .;
    *(.data .data.* .gnu.linkonce.d.*)
    __data_end = .;
    . = ORIGIN(DATA) + LENGTH(DATA);
  } > DATA
  __bin_end = __rom_end + SIZEOF(.data);

  .bss (NOLOAD) : {
    __bss_start = .;
    KEEP(*(.bss.heap))
    *(.bss .bss.* .gnu.linkonce.b.* COMMON)
    . = ALIGN(4);
    __bss_end = .;
  } > BSS

  __expt_stack_end = 0x02012c80;  __expt_stack_start = 0x02012d80;
  __fiq_stack_end  = 0x02012d80;  __fiq_stack_start  = 0x02013180;
  __irq_stack_end  = 0x02013180;  __irq_stack_start  = 0x02013580;
  __stack_end      = 0x02013580;  __stack_start      = 0x02017580;
  __zero_end       = __expt_stack_end;

  /DISCARD/ : { *(.note.GNU-stack) *(.comment) }
}

ASSERT(__data_end - __data_start <= 0x1000, "the initialised data passes 4 KB")
ASSERT(__bss_end <= __expt_stack_end, "the heap and zero-initialised data overlap the stacks")
ASSERT(__rom_end + 0x1000 <= 0x80000, "the code image and its data do not fit in ITCM")
