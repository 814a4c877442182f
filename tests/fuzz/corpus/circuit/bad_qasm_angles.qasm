OPENQASM 2.0;
qreg q[3];
creg c[3];
u3(pi/2,0,pi) q[0];
rz(pi/3) q[1];
if(c==9) cx q[0],q[1];
measure q -> c;
