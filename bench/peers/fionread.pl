# fionread.pl: ns per FIONREAD (0x541B) query on a pipe holding one byte, in
# a loop of this runtime's own; the median of five batches.
use strict;
use warnings;
use Time::HiRes qw(clock_gettime CLOCK_MONOTONIC);

my $calls = $ARGV[0] // 200000;
pipe(my $r, my $w) or die "pipe: $!";
syswrite($w, "x") == 1 or die "write: $!";
my $count = pack("i", 0);
my @batches;
for (1 .. 5) {
    my $start = clock_gettime(CLOCK_MONOTONIC);
    for (1 .. $calls) { ioctl($r, 0x541B, $count) }
    push @batches, (clock_gettime(CLOCK_MONOTONIC) - $start) * 1e9 / $calls;
}
@batches = sort { $a <=> $b } @batches;
printf "%.1f\n", $batches[2];
