# Through a pipe whose reads end where a line feed is next: the first record
# comes in two reads, the third read begins with its line feed and stops
# short of the third record's, and the fourth begins with that.
mv input.pdb records.pdb
mkfifo input.pdb
{
  head -c 40 records.pdb
  sleep 0.1
  tail -c +41 records.pdb | head -c 40
  sleep 0.1
  tail -c +81 records.pdb | head -c 162
  sleep 0.1
  tail -c +243 records.pdb
} > input.pdb 2> /dev/null &
