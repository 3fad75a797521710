# An mmCIF file through a pipe whose reads end ten bytes into its long
# tokens: a tag of 75 characters, a quoted value of 72, a number of 72 and
# a data block's name of 68, each longer than the 64 bytes kept of a token.
mkfifo input.pdb
source=$case/../../mmcif/long_tokens.cif
cuts=$(grep -b -o -e '_pdbx_serial_crystallography_sample_delivery_injection.filter' \
         -e "'a quoted value" -e ' 0000000000' -e 'data_second' "$source" |
       cut -d: -f1)
{
  from=1
  for cut in $cuts; do
    to=$((cut + 10))
    tail -c +$from "$source" | head -c $((to - from + 1))
    sleep 0.1
    from=$((to + 1))
  done
  tail -c +$from "$source"
} > input.pdb 2> /dev/null &
