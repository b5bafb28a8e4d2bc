/**
 * Serial ports for Java: {@link cz.qelvar.SerialPort} and the native methods of
 * {@link cz.qelvar.Serial}.
 */
module cz.qelvar {
    exports cz.qelvar;
}
