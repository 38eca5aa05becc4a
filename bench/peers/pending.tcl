# pending.tcl: ns per `chan pending input` on a pipe holding one byte, in a
# loop of this runtime's own; the median of five batches.
set calls [expr {$argc > 0 ? [lindex $argv 0] : 200000}]
lassign [chan pipe] r w
puts -nonewline $w x
flush $w
set batches {}
for {set i 0} {$i < 5} {incr i} {
    set usec [lindex [time {chan pending input $r} $calls] 0]
    lappend batches [expr {$usec * 1000.0}]
}
puts [format %.1f [lindex [lsort -real $batches] 2]]
