#!/usr/bin/perl
# Prints how the launcher's folders depend on each other, against the layers
# they are meant to form, and the circles of source files that call each
# other. Run from the checkout: scripts/layers.pl
#
# The layers, bottom up. A folder may include what lies below it; an include
# of a folder above is printed as running up. pack is its own program beside
# the launcher's layers and shares only util and host.
#
# A circle is a set of .cpp files each of which reaches every other by calls
# to functions defined there (a function's definition is found by its name at
# the start of a line, which is how this code is written); a circle holds
# files that cannot be read, changed or tested one without the others.
# LAYERS_DEBUG=1 prints every call between files on the standard error.
use strict;
use warnings;

my @layers = qw(util host jvmoptions config cmdline jvm service launcher);
my %floor;
@floor{@layers} = (1 .. @layers);
$floor{pack} = $floor{launcher};

my @files = grep { !/_test\.cpp$|fixture|\/fuzz/ } split /\n/, `git ls-files 'src/*.cpp' 'src/*.h'`;
my (%arrows, %up);
my (%text, %defines, %dup);
for my $file (@files) {
  open my $in, '<', $file or die "$file: $!";
  local $/;
  $text{$file} = <$in>;
  close $in;
  my ($from) = $file =~ m{^src/([^/]+)/};
  while ($text{$file} =~ /^#include "([^"\/]+)\/[^"]+"/mg) {
    my $to = $1;
    next if $to eq $from || !exists $floor{$to};
    $arrows{"$from -> $to"}++;
    $up{"$from -> $to"} = 1 if $floor{$to} > $floor{$from} || ($from eq 'pack' && $to !~ /^(util|host)$/);
  }
  next unless $file =~ /\.cpp$/;
  # Definitions outside the anonymous namespace: a name followed by its
  # parameters at the start of a line, ending the line with an opening brace;
  # only the module-prefixed names (cfgProcessConfig, ut_tproda) other files
  # call, not a local type's members.
  my $visible = $text{$file};
  $visible =~ s/^namespace \{\n.*?^\}  \/\/ namespace\n//msg;
  while ($visible =~ /^[A-Za-z][\w:<>,*& ]*?\b(\w+)\([^;{]*\)(?: const)?(?: noexcept)? \{$/mg) {
    my $name = $1;
    next unless $name =~ /^(?:[a-z]+[A-Z]|ut_)\w*$/;
    $dup{$name} = 1 if exists $defines{$name} && $defines{$name} ne $file;
    $defines{$name} = $file;
  }
}

delete @defines{keys %dup};

print "Folder includes (arrows running up are marked UP):\n";
printf "  %3d  %-28s%s\n", $arrows{$_}, $_, $up{$_} ? "  UP" : "" for sort keys %arrows;
printf "%d arrows between folders, %d running up\n\n", scalar(keys %arrows), scalar(keys %up);

# Calls between files, then Tarjan's strongly connected components.
my @sources = grep { /\.cpp$/ && exists $text{$_} } @files;
my %calls;
my $names = join '|', map { quotemeta } sort { length $b <=> length $a } keys %defines;
for my $file (@sources) {
  my %seen;
  while ($text{$file} =~ /\b($names)\(/g) {
    my $to = $defines{$1};
    $seen{$to} = 1 if $to ne $file;
  }
  $calls{$file} = [sort keys %seen];
  if ($ENV{LAYERS_DEBUG}) { while ($text{$file} =~ /\b($names)\(/g) { print STDERR "$file -> $defines{$1} ($1)\n" if $defines{$1} ne $file } }
}
my ($index, @stack, %on, %num, %low, @circles) = (0);
my $visit;
$visit = sub {
  my ($v) = @_;
  $num{$v} = $low{$v} = $index++;
  push @stack, $v;
  $on{$v} = 1;
  for my $w (@{ $calls{$v} }) {
    if (!exists $num{$w}) {
      $visit->($w);
      $low{$v} = $low{$w} if $low{$w} < $low{$v};
    } elsif ($on{$w} && $num{$w} < $low{$v}) {
      $low{$v} = $num{$w};
    }
  }
  return unless $low{$v} == $num{$v};
  my @circle;
  while (1) {
    my $w = pop @stack;
    delete $on{$w};
    push @circle, $w;
    last if $w eq $v;
  }
  push @circles, [sort @circle] if @circle > 1;
};
$visit->($_) for grep { !exists $num{$_} } sort @sources;
print "Circles of files calling each other:\n";
print "  ", scalar(@$_), " files: ", join(' ', @$_), "\n" for sort { @$b <=> @$a } @circles;
print "  none\n" unless @circles;
