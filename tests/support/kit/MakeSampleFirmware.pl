#!/usr/bin/perl
# Writes the sample firmware image of the test kit: a DfuSe file with one
# target and one element of made-up firmware bytes, and the DFU suffix for the
# touchpad's bootloader (VID 0483, PID DF11, release 2200).
#   perl MakeSampleFirmware.pl <output.dfu>
# The bytes are the same on every run, so tests can compare sizes and CRCs.
use strict;
use warnings;

my $output = shift or die "usage: $0 <output.dfu>\n";

# Made-up firmware: a banner, then a fixed pseudo-random sequence.
my $firmwareSize = 8192;
my $firmware = "Kestrune touchpad sample firmware 22.00\0";
my $state = 0x2200;
while (length($firmware) < $firmwareSize) {
    $state = ($state * 1103515245 + 12345) & 0x7FFFFFFF;
    $firmware .= chr(($state >> 16) & 0xFF);
}

my $element = pack('VV', 0x08000000, length($firmware)) . $firmware;
my $target = pack('a6 C V a255 V V', 'Target', 0, 1, 'Internal Flash', length($element), 1) . $element;
my $imageSize = 11 + length($target);
my $image = pack('a5 C V C', 'DfuSe', 1, $imageSize, 1) . $target;

# Suffix fields before the CRC: bcdDevice, idProduct, idVendor, bcdDFU,
# 'U','F','D', bLength.
$image .= pack('vvvv a3 C', 0x2200, 0xDF11, 0x0483, 0x011A, 'UFD', 16);

# Reflected CRC-32 over everything so far, started at all ones and stored
# without the final inversion.
my $crc = 0xFFFFFFFF;
for my $byte (unpack('C*', $image)) {
    $crc ^= $byte;
    for (1 .. 8) {
        $crc = ($crc & 1) ? (($crc >> 1) ^ 0xEDB88320) : ($crc >> 1);
    }
}
$image .= pack('V', $crc);

open(my $file, '>:raw', $output) or die "cannot write $output: $!\n";
print $file $image;
close($file) or die "cannot write $output: $!\n";
