OPENQASM 2.0;
include "qelib1.inc";
qreg q[1];
rz(-(-pi)/2 + 2*pi - sqrt(4)*pi/2 + ln(exp(0)) + cos(0)*0 + tan(0) + sin(0) + 0^2) q[0];
u3(0, 0.3, -0.3) q[0];
// comment
