#!/usr/bin/perl
# Compares the MARCXML form of records with their ISO 2709 form field by field (MARC::File::XML and
# MARC::File::USMARC) and reports what the ISO 2709 decoder and MARC::Lint find in the ISO 2709
# records. Usage: marc_check.pl ISO_FILE XML_COLLECTION [lint]
# Prints one line per problem, then "checked N records"; exit 1 when a record differs or has a
# structural fault: a decoder warning, a leader whose length, base address, indicator count or
# entry map is wrong, a field without a two-character indicator. Lint's warnings about the
# content (indicator values, punctuation, subfields allowed) are printed as counts only.
use strict;
use warnings;
use Encode qw(decode);
use MARC::File::USMARC;
use MARC::File::XML (BinaryEncoding => 'utf8', RecordFormat => 'USMARC');
use MARC::Lint;

binmode STDOUT, ":encoding(UTF-8)";
my ($isoFile, $xmlFile, $lint) = @ARGV;
my $iso = MARC::File::USMARC->in($isoFile) or die "cannot read $isoFile\n";
my $xml = MARC::File::XML->in($xmlFile) or die "cannot read $xmlFile\n";
my $linter = MARC::Lint->new;
my ($count, $bad) = (0, 0);
my %content;
my $skipped = 0;
my @raw = do { local $/ = "\x1D"; open(my $in, '<:raw', $isoFile) or die; <$in> };

# Structural faults of one raw ISO 2709 record.
sub structure {
    my ($record, $raw) = @_;
    my @faults;
    my $leader = substr($raw, 0, 24);
    my $entries = (index($raw, "\x1E") - 24) / 12;
    push @faults, "leader length " . substr($leader, 0, 5) . " for " . length($raw) . " octets"
        if substr($leader, 0, 5) != length($raw);
    push @faults, "base address " . substr($leader, 12, 5) if substr($leader, 12, 5) != 24 + 12 * $entries + 1;
    push @faults, "leader 10-11 not 22" if substr($leader, 10, 2) ne '22';
    push @faults, "leader 20-23 not 4500" if substr($leader, 20, 4) !~ /^450[0 ]$/;
    push @faults, "directory is not whole entries" if $entries != int($entries);
    for my $f ($record->fields) {
        next if $f->is_control_field;
        for my $i (1, 2) {
            push @faults, $f->tag . ": indicator $i is not one letter, digit or blank" if $f->indicator($i) !~ /^[0-9a-z ]$/;
        }
    }
    return @faults;
}

# The fields as text. Control fields at the tags of `skip` are left out: a control field that holds
# subfields (as other MARCs than MARC 21 have them) is a data field in MARCXML, which
# MARC::File::XML reads back as a control field without its subfields.
sub fields {
    my ($record, $bytes, $skip) = @_;
    my @out;
    for my $f ($record->fields) {
        next if $f->is_control_field && $skip->{$f->tag};
        my $text = $f->is_control_field ? $f->data
            : join('', $f->indicator(1), $f->indicator(2), map { '$' . $_->[0] . $_->[1] } $f->subfields);
        $text = decode('UTF-8', $text) if $bytes && !utf8::is_utf8($text);
        push @out, $f->tag . ' ' . $text;
    }
    return @out;
}

while (my $a = $iso->next) {
    my $b = $xml->next;
    $count++;
    unless ($b) { print "record $count: no MARCXML record\n"; $bad++; last; }
    for my $w ($a->warnings) { print "record $count: ISO 2709: $w\n"; $bad++; }
    my %skip = map { $_->tag => 1 } grep { $_->is_control_field && $_->data =~ /\x1F/ } $a->fields;
    $skipped += keys %skip;
    my @x = fields($a, 1, \%skip);
    my @y = fields($b, 0, \%skip);
    if (join("\n", @x) ne join("\n", @y)) {
        print "record $count: fields differ\n  ISO: " . join("\n  ISO: ", @x) . "\n  XML: " . join("\n  XML: ", @y) . "\n";
        $bad++;
    }
    for my $w (structure($a, $raw[$count - 1])) { print "record $count: $w\n"; $bad++; }
    if ($lint) {
        $linter->check_record($a);
        $content{$_ =~ s/: .*//r}++ for $linter->warnings;
    }
}
if (my $extra = $xml->next) { print "more MARCXML records than ISO 2709 ones\n"; $bad++; }
print "Lint (content, not counted): $content{$_} x $_\n" for sort keys %content;
print "control fields with subfields, not compared: $skipped\n";
print "checked $count records\n";
exit($bad ? 1 : 0);
