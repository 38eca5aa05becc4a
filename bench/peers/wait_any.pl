# wait_any.pl: ns per one-shot wait for input on N streams, one of them
# ready, with this runtime's IO::Select: the set made once, as a program
# keeps its list of handles, then can_read with a zero limit. The streams
# are both ends of socket pairs, the last one holding a byte. Prints "N NS"
# a line, each the median of five batches. Run under a descriptor limit of
# 10000 and more (scripts/bench raises it).
use strict;
use warnings;
use IO::Select;
use Socket;
use Time::HiRes qw(clock_gettime CLOCK_MONOTONIC);

my @sizes = @ARGV ? @ARGV : (1, 10, 100, 1000, 10000);
for my $n (@sizes) {
    my (@streams, @peers);
    for (my $i = 0; $i < $n; $i += 2) {
        socketpair(my $a, my $b, AF_UNIX, SOCK_STREAM, 0) or die "socketpair: $!";
        push @streams, $a;
        push @peers, $b;
        if ($i + 1 < $n) { push @streams, $b; push @peers, $a; }
    }
    syswrite($peers[-1], "x") == 1 or die "write: $!";
    my $set = IO::Select->new(@streams);
    my $calls = int(200000 / ($n * 4 + 50));
    $calls = 3 if $calls < 3;
    my (@batches, @ready);
    for (1 .. 5) {
        my $start = clock_gettime(CLOCK_MONOTONIC);
        @ready = $set->can_read(0) for 1 .. $calls;
        push @batches, (clock_gettime(CLOCK_MONOTONIC) - $start) * 1e9 / $calls;
    }
    die "answered " . scalar(@ready) . " streams" unless @ready == 1 && $ready[0] == $streams[-1];
    @batches = sort { $a <=> $b } @batches;
    printf "%d %.1f\n", $n, $batches[2];
}
