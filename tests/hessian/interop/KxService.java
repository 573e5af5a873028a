// The container's one remote method, as a Java Hessian interface.
public interface KxService {
  byte[] invoke(byte[] document);
}
