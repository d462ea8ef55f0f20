#!/usr/bin/perl
# windres folds every window class name that a dialog names as a string to
# upper case; the list view's class goes back to its registered spelling.
# Same length, so the object file's layout does not move.
# usage: restore-class-case.pl IN OUT
use strict;
use warnings;
my ($in, $out) = @ARGV;
open(my $fh, '<:raw', $in) or die "$in: $!";
local $/;
my $data = <$fh>;
close($fh);
my $folded = join("\0", split(//, 'SYSLISTVIEW32')) . "\0";
my $proper = join("\0", split(//, 'SysListView32')) . "\0";
$data =~ s/\Q$folded\E/$proper/g;
open(my $oh, '>:raw', $out) or die "$out: $!";
print $oh $data;
close($oh);
