# A file-size limit of 1 KiB: the converted records run past it.
ulimit -S -f 1
