#!/usr/bin/perl
# The calls of the product's main thread that its timing depends on, from
# Wine's relay trace (WINEDEBUG=+relay,+timestamp,+pid with RelayInclude
# naming KERNEL32's Sleep, WaitForSingleObject, WriteFile and CreateProcessW),
# one per line, stamped with Wine's tick count in ms, the clock of the
# program's own pauses and time-outs:
#   <ms> line <text>       the call that completed a line of standard output
#   <ms> write <bytes>     a write to another handle (the serial port)
#   <ms> sleep <ms>        a pause begins ...
#   <ms> slept             ... and ends
#   <ms> wait <ms|INFINITE>  a wait for one object begins ...
#   <ms> waited <result>   ... and ends (0 signalled, 258 timed out)
#   <ms> start             the program asks Windows to start another
#   program-calls.pl <trace> <standard output bytes>
# The product writes first ("Please wait") before it starts any child, so the
# first write in the trace names its process, thread and standard output.
use strict;
use warnings;

my ($tracePath, $stdoutPath) = @ARGV;
open(my $stdoutFile, '<:raw', $stdoutPath) or die "cannot read $stdoutPath: $!\n";
my @lines = do { local $/; split /(?<=\r\n)/, <$stdoutFile> // '' };
close $stdoutFile;

open(my $trace, '<:raw', $tracePath) or die "cannot read $tracePath: $!\n";
my ($thread, $stdoutHandle);
my $unwritten = 0;
while (<$trace>) {
    next unless /^(\d+)\.(\d{3}):([0-9a-f]{4}:[0-9a-f]{4}):(Call|Ret ) KERNEL32\.(\w+)\(([^)]*)\)(?: retval=([0-9a-f]+))? ret=/;
    my ($ms, $caller, $kind, $function, $arguments, $result) = ($1 * 1000 + $2, $3, $4, $5, $6, $7);
    if (!defined $thread) {
        next unless $kind eq 'Call' && $function eq 'WriteFile';
        $thread = $caller;
        $stdoutHandle = (split /,/, $arguments)[0];
    }
    next unless $caller eq $thread;
    my @argument = split /,/, $arguments;
    if ($kind eq 'Call' && $function eq 'WriteFile') {
        my $count = hex $argument[2];
        if ($argument[0] ne $stdoutHandle) {
            print "$ms write $count\n";
            next;
        }
        # Writes of standard output complete its lines in order.
        $unwritten += $count;
        while (@lines && $unwritten >= length $lines[0]) {
            my $line = shift @lines;
            $unwritten -= length $line;
            $line =~ s/\r\n$//;
            print "$ms line $line\n";
        }
    } elsif ($function eq 'Sleep') {
        print $kind eq 'Call' ? "$ms sleep " . hex($argument[0]) . "\n" : "$ms slept\n";
    } elsif ($function eq 'WaitForSingleObject') {
        if ($kind eq 'Call') {
            my $timeout = $argument[1] eq 'ffffffff' ? 'INFINITE' : hex $argument[1];
            print "$ms wait $timeout\n";
        } else {
            print "$ms waited " . hex($result) . "\n";
        }
    } elsif ($function eq 'CreateProcessW' && $kind eq 'Call') {
        print "$ms start\n";
    }
}
close $trace;
die "no write of the product in $tracePath\n" unless defined $thread;
die "the trace shows " . scalar(@lines) . " lines of standard output less than were written\n" if @lines;
