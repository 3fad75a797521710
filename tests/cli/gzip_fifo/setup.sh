# gzip through a pipe that brings the first two bytes one at a time: the
# format is told from what several reads gather.
gzip -n < input.pdb > records.gz
rm input.pdb
mkfifo input.pdb
{
  head -c 1 records.gz
  sleep 0.1
  tail -c +2 records.gz | head -c 1
  sleep 0.1
  tail -c +3 records.gz
} > input.pdb 2> /dev/null &
