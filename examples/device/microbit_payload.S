/* The update's inputs in flash: the old image as it lies in the application slot and
 * the diff as it arrived.  OLD_IMAGE_FILE and DIFF_FILE are the host files (quoted). */
    .section .rodata.update_payload, "a"
    .balign 4
    .global old_image, old_image_end, update_diff, update_diff_end
old_image:
    .incbin OLD_IMAGE_FILE
old_image_end:
    .balign 4
update_diff:
    .incbin DIFF_FILE
update_diff_end:
