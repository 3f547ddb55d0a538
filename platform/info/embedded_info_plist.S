/* Info.plist, embedded in its own section; the linker provides __start_/__stop_ symbols. */
	.section tamsel_info_plist,"a",@progbits
	.incbin TAMSEL_INFO_PLIST_PATH
	.section .note.GNU-stack,"",@progbits
