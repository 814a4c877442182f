OPENQASM 2.0;
include "qelib1.inc";
gate bell(t) a, b { h a; cx a, b; rz(t) b; barrier a, b; }
gate twice a, b { bell(pi) a, b; bell(-pi/2) b, a; }
opaque magic a;
qreg q[4];
creg c[1];
twice q[0], q[3];
measure q[3] -> c[0];
if(c==1) twice q[1], q[2];
